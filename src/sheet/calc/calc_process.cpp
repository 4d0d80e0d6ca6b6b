// LibreOffice's lifetime for one CalcApp: finding soffice, starting it (see
// office_process.h) and connecting over UNO, the watchdog that ends a
// LibreOffice which stops answering a call, and quitting it or leaving it
// running for the user at the end.
#include "sheet/calc/calc_uno.h"

#include "core/trace.h"
#include "sheet/lock_file.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::sheet::calc {

namespace {

constexpr const char* ProgramFolder = "/usr/lib/libreoffice/program";

QString findSoffice(const CalcOptions& options) {
  if (!options.soffice.isEmpty()) return QFileInfo(options.soffice).isExecutable() ? options.soffice : QString();
  const QString onPath = QStandardPaths::findExecutable(QStringLiteral("soffice"));
  if (!onPath.isEmpty()) return onPath;
  const QString inProgram = QString::fromLatin1(ProgramFolder) + QStringLiteral("/soffice");
  return QFileInfo(inProgram).isExecutable() ? inProgram : QString();
}

// The local UNO context: bootstrapped once per process.
Reference<css::uno::XComponentContext> localContext() {
  static Reference<css::uno::XComponentContext> context = [] {
    // Without this the client finds no type library and crashes.
    setenv("URE_BOOTSTRAP", "vnd.sun.star.pathname:/usr/lib/libreoffice/program/fundamentalrc", 0);
    return cppu::defaultBootstrap_InitialComponentContext();
  }();
  return context;
}

}  // namespace

void CalcApp::Impl::startWatchdog() {
  watchdog = std::thread([this] {
    std::unique_lock lock(watchMutex);
    while (!stopWatching) {
      if (inCall) {
        if (watchWake.wait_until(lock, deadline) == std::cv_status::timeout && inCall && !stopWatching &&
            std::chrono::steady_clock::now() >= deadline) {
          hung = true;
          if (pid > 0) ::kill(-pid, SIGKILL);
          inCall = false;
        }
      } else {
        watchWake.wait(lock);
      }
    }
  });
}

void CalcApp::Impl::stopWatchdog() {
  if (!watchdog.joinable()) return;
  {
    std::lock_guard lock(watchMutex);
    stopWatching = true;
  }
  watchWake.notify_all();
  watchdog.join();
}

Status CalcApp::Impl::guarded(const QString& what, const std::function<void()>& call, std::optional<SheetError> code) {
  const auto failed = [&](const QString& why) { return fail(code.value_or(SheetError::CallFailed), what + why); };
  if (bridgeGone || hung) return fail(SheetError::AccessLost, what + QStringLiteral(": LibreOffice が応答しません"));
  {
    std::lock_guard lock(watchMutex);
    inCall = true;
    deadline = std::chrono::steady_clock::now() + options.callTimeout;
  }
  watchWake.notify_all();
  Status status;
  try {
    call();
  } catch (const css::lang::DisposedException&) {
    bridgeGone = true;
    status = fail(SheetError::AccessLost, what + QStringLiteral(": LibreOffice との接続が切れました"));
  } catch (const css::uno::Exception& e) {
    status = failed(QStringLiteral(": ") + toQ(e.Message));
  } catch (const std::exception& e) {
    status = failed(QStringLiteral(": ") + QString::fromLocal8Bit(e.what()));
  } catch (...) {
    status = failed(QStringLiteral(": 不明なエラー"));
  }
  {
    std::lock_guard lock(watchMutex);
    inCall = false;
  }
  watchWake.notify_all();
  if (hung) return fail(SheetError::AccessLost, what + QStringLiteral(": LibreOffice が応答しないため終了しました"));
  return status;
}

bool CalcApp::Impl::showsOtherDocuments() {
  if (!desktop.is()) return false;
  bool others = true;
  const Status asked = guarded(QStringLiteral("LibreOffice"), [&] {
    Reference<css::container::XEnumeration> documents = desktop->getComponents()->createEnumeration();
    others = false;
    while (documents->hasMoreElements()) {
      Reference<css::frame::XModel> document(documents->nextElement(), UNO_QUERY);
      if (!document.is() || document != model) others = true;
    }
  });
  return !asked.ok() || others;
}

bool CalcApp::Impl::processAlive() {
  if (pid <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(pid, &status, WNOHANG);
  if (r == pid || (r < 0 && errno == ECHILD)) {
    pid = 0;
    return false;
  }
  return true;
}

void CalcApp::Impl::reap(std::chrono::milliseconds grace) {
  const auto waitUntil = [this](std::chrono::milliseconds span) {
    const auto until = std::chrono::steady_clock::now() + span;
    while (processAlive() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  waitUntil(grace);
  if (processAlive()) {
    ::kill(-pid, SIGTERM);
    waitUntil(std::chrono::milliseconds(2000));
  }
  if (processAlive()) {
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = 0;
  }
}

void CalcApp::Impl::detachListener() {
  if (listener.is()) listener->detach();
  if (bridgeListener.is()) bridgeListener->detach();
}

void CalcApp::Impl::cleanUpAfterOffice() {
  removeOwnLock(openedFile, privateFolder);
  if (!profileDir.isEmpty()) QDir(profileDir).removeRecursively();
  guard.standDown();
}

namespace {

// Connects to the started soffice, retrying until it accepts or the time is up.
Status connectOffice(CalcApp::Impl& impl) {
  const Reference<css::uno::XComponentContext> local = localContext();
  const auto until = std::chrono::steady_clock::now() + impl.options.startTimeout;
  QString lastError;
  while (std::chrono::steady_clock::now() < until) {
    if (!impl.processAlive())
      return fail(SheetError::CannotStart, QStringLiteral("LibreOffice が終了しました（記録: %1）").arg(impl.logFile));
    try {
      Reference<css::connection::XConnector> connector = css::connection::Connector::create(local);
      Reference<css::connection::XConnection> connection =
          connector->connect(toOU(QStringLiteral("pipe,name=") + impl.pipeName));
      Reference<css::bridge::XBridgeFactory2> factory = css::bridge::BridgeFactory::create(local);
      impl.bridge = factory->createBridge(OUString(), OUString::createFromAscii("urp"), connection, nullptr);
      Reference<css::lang::XComponent>(impl.bridge, UNO_QUERY_THROW)
          ->addEventListener(
              Reference<css::lang::XEventListener>(static_cast<css::util::XCloseListener*>(impl.bridgeListener.get())));
      Reference<css::uno::XComponentContext> remote(
          impl.bridge->getInstance(OUString::createFromAscii("StarOffice.ComponentContext")), UNO_QUERY_THROW);
      impl.desktop = css::frame::Desktop::create(remote);
      return {};
    } catch (const css::uno::Exception& e) {
      lastError = toQ(e.Message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return fail(SheetError::CannotStart,
              QStringLiteral("LibreOffice に接続できません: %1（記録: %2）").arg(lastError, impl.logFile));
}

}  // namespace

bool calcInstalled(const CalcOptions& options) { return !findSoffice(options).isEmpty(); }

SpreadsheetFactory calcFactory(CalcOptions options) {
  return [options]() { return CalcApp::start(options); };
}

CalcApp::CalcApp(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) { impl_->owner = this; }

CalcApp::~CalcApp() {
  impl_->detachListener();
  impl_->owner = nullptr;
  if (!impl_->released && impl_->pid > 0) {
    // Nobody keeps this LibreOffice: it no longer answered, or Open failed.
    ::kill(-impl_->pid, SIGTERM);
    impl_->reap(std::chrono::milliseconds(2000));
  }
  impl_->stopWatchdog();
  if (!impl_->released && impl_->pid == 0) impl_->cleanUpAfterOffice();
}

Result<std::unique_ptr<SpreadsheetApp>> CalcApp::start(const CalcOptions& options) {
  const QString soffice = findSoffice(options);
  if (soffice.isEmpty()) return fail(SheetError::CannotStart, QStringLiteral("LibreOffice (soffice) が見つかりません"));
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->listener = new Listener(*impl, Listener::Source::Document);
  impl->bridgeListener = new Listener(*impl, Listener::Source::Bridge);
  std::unique_ptr<CalcApp> app(new CalcApp(std::move(impl)));
  Impl& i = *app->impl_;
  i.startWatchdog();
  Result<OfficeLaunch> launched = spawnOffice(soffice, options.headless);
  if (!launched) return launched.error();
  i.pid = launched->pid;
  i.profileDir = launched->profileFolder;
  i.privateFolder = launched->privateFolderName;
  i.logFile = launched->logFile;
  i.pipeName = launched->pipeName;
  // Should we be killed, the guard ends this LibreOffice too.
  if (Status guarded = i.guard.start(i.pid, i.profileDir, i.privateFolder); !guarded) return guarded.error();
  if (Status connected = connectOffice(i); !connected) return connected.error();
  return std::unique_ptr<SpreadsheetApp>(std::move(app));
}

qint64 CalcApp::processId() const { return impl_->pid; }
QString CalcApp::logPath() const { return impl_->logFile; }

Status CalcApp::quit() {
  Impl& i = *impl_;
  i.detachListener();
  Status status;
  Status closed;
  bool terminated = false;
  // The workbook is closed first: that is what removes LibreOffice's lock
  // file; terminate() alone ends the process with the lock left behind.
  if (!i.bridgeGone && !i.hung) {
    if (i.model.is() && !i.documentClosed)
      closed = i.guarded(QStringLiteral("ブックを閉じられません"),
                         [&] { Reference<css::util::XCloseable>(i.model, UNO_QUERY_THROW)->close(true); });
    status = i.guarded(QStringLiteral("LibreOffice を終了できません"), [&] { terminated = i.desktop->terminate(); });
    // The reply may be lost when the process ends first: that is a quit too.
    if (!status && i.bridgeGone) {
      status = {};
      terminated = true;
    }
  }
  i.model.clear();
  i.desktop.clear();
  try {
    if (i.bridge.is()) Reference<css::lang::XComponent>(i.bridge, UNO_QUERY_THROW)->dispose();
  } catch (...) {
    // Already gone.
  }
  i.bridge.clear();
  // A LibreOffice that declined to end, or lingers, is ended by signal.
  i.reap(std::chrono::milliseconds(terminated ? 5000 : 500));
  i.cleanUpAfterOffice();
  return closed ? status : closed;
}

void CalcApp::release() {
  Impl& i = *impl_;
  // Our LibreOffice is kept running for the user's sake only while it shows
  // a document: once the workbook's window was closed (and nothing else was
  // opened there) or LibreOffice stopped answering, it would linger unseen
  // with its private profile. It ends with us instead.
  if (i.bridgeGone || i.hung || (i.documentClosed && !i.showsOtherDocuments())) {
    traceFailure(QStringLiteral("LibreOffice"), quit());
    return;
  }
  i.released = true;
  i.detachListener();
  try {
    if (i.bridge.is()) Reference<css::lang::XComponent>(i.bridge, UNO_QUERY_THROW)->dispose();
  } catch (...) {
    // The connection is going anyway; LibreOffice keeps running with the workbook.
  }
  // It outlives us on purpose: the guard must not end it.
  i.guard.standDown();
}

}  // namespace kestrune::sheet::calc
