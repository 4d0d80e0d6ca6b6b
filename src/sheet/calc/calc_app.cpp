// LibreOffice Calc over UNO. UNO's headers and exceptions stay in this file:
// every call is wrapped so that no UNO exception crosses the SpreadsheetApp seam.
#include "sheet/calc/calc_app.h"

#include "core/trace.h"

#include "sheet/lock_file.h"
#include "sheet/calc/office_process.h"
#include "sheet/xls/value.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStandardPaths>
#include <QUrl>

#include <com/sun/star/awt/XTopWindow2.hpp>
#include <com/sun/star/awt/PosSize.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/awt/Rectangle.hpp>
#include <com/sun/star/awt/XWindow.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XFrame.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/io/IOException.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XEventListener.hpp>
#include <com/sun/star/sheet/XCellAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/task/ErrorCodeIOException.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/uno/Exception.hpp>
#include <com/sun/star/util/Date.hpp>
#include <com/sun/star/util/XCloseBroadcaster.hpp>
#include <com/sun/star/util/XCloseListener.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/view/XSelectionChangeListener.hpp>
#include <com/sun/star/view/XSelectionSupplier.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase2.hxx>
#include <rtl/ref.hxx>
#include <rtl/ustring.hxx>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <csignal>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrune::sheet::calc {

namespace css = com::sun::star;
using css::uno::Reference;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

namespace {

constexpr const char* ProgramFolder = "/usr/lib/libreoffice/program";
constexpr std::int32_t LastRow = 65536;  // .xls keeps no more
// A window smaller than this is taken for one LibreOffice never placed.
constexpr int MinWindowWidth = 200;
constexpr int MinWindowHeight = 150;
constexpr int WindowMargin = 40;
constexpr int UsableWindowWidth = 1024;
constexpr int UsableWindowHeight = 720;
// One digit of the default font (Liberation Sans 10 pt) is about 2 mm wide,
// in the 1/100 mm a column width is given in, with room for the cell margins.
constexpr sal_Int32 DigitWidth = 210;
constexpr std::int32_t LastColumn = 256;

OUString toOU(const QString& s) {
  return OUString(reinterpret_cast<const sal_Unicode*>(s.utf16()), static_cast<sal_Int32>(s.size()));
}
QString toQ(const OUString& s) { return QString(reinterpret_cast<const QChar*>(s.getStr()), s.getLength()); }

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

bool positionInside(std::int64_t row, std::int64_t column) {
  return row >= 1 && row <= LastRow && column >= 1 && column <= LastColumn;
}

Error outsideSheet(std::int64_t row, std::int64_t column) {
  return fail(QStringLiteral("セル (%1, %2) はシートの範囲外です").arg(row).arg(column));
}

// Why a workbook is not opened, in the words the built-in application uses.
QString readOnlyWorkbook(const QString& name) {
  return QStringLiteral("ブック「%1」は読み取り専用です。取得データを保存できないため開けません").arg(name);
}
QString unwritableFolder(const QString& folder) {
  return QStringLiteral("フォルダー「%1」に書き込めないため、取得データを保存できません").arg(folder);
}
// A save failed; the workbook stays open with its rows.
QString cannotSave(const QString& name) { return QStringLiteral("ブック「%1」を保存できません").arg(name); }
QString cannotSave(const QString& name, const QString& why) { return cannotSave(name) + QStringLiteral("。") + why; }

// Whether we may write the file or folder. The mode bits count as well as
// access(2): root passes access() for anything, yet a workbook its owner made
// read-only must stay unwritten by us too.
bool writable(const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  struct stat st {};
  if (::stat(name.constData(), &st) != 0) return false;
  return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 && ::access(name.constData(), W_OK) == 0;
}

// Less room than the workbook takes now: a new copy cannot be written.
bool diskFull(const QString& file) {
  struct statvfs fs {};
  if (::statvfs(QFile::encodeName(QFileInfo(file).absolutePath()).constData(), &fs) != 0) return false;
  constexpr qint64 SmallestWorkbook = 64 * 1024;
  const auto available = static_cast<qint64>(fs.f_bavail) * static_cast<qint64>(fs.f_frsize);
  return available < std::max(QFileInfo(file).size(), SmallestWorkbook);
}

}  // namespace

// Listens to the bridge, or to the document and its view; called on bridge
// threads. One instance for each, as both end with disposing(): the bridge's
// end means LibreOffice is gone, the document's only that the workbook closed.
class Listener final : public cppu::WeakImplHelper2<css::util::XCloseListener, css::view::XSelectionChangeListener> {
public:
  enum class Source { Bridge, Document };
  Listener(CalcApp::Impl& impl, Source source) : impl_(impl), source_(source) {}
  void SAL_CALL queryClosing(const css::lang::EventObject&, sal_Bool) override;
  void SAL_CALL notifyClosing(const css::lang::EventObject&) override;
  void SAL_CALL selectionChanged(const css::lang::EventObject&) override;
  void SAL_CALL disposing(const css::lang::EventObject&) override;
  void detach() {
    std::lock_guard lock(mutex_);
    attached_ = false;
  }

private:
  template <typename F>
  void post(F f);
  CalcApp::Impl& impl_;
  const Source source_;
  std::mutex mutex_;
  bool attached_ = true;
};

struct CalcApp::Impl {
  CalcOptions options;
  CalcApp* owner = nullptr;
  pid_t pid = 0;
  QString profileDir;
  QString privateFolder;
  QString logFile;
  QString pipeName;
  QString workbookPath;
  QString workbookName;  // as the user named it, for messages
  QString openedFile;    // the file LibreOffice opened (a link resolved), for its lock file
  bool released = false;
  OfficeGuard guard;

  Reference<css::bridge::XBridge> bridge;
  Reference<css::frame::XDesktop2> desktop;
  Reference<css::frame::XModel> model;
  rtl::Reference<Listener> listener;        // the document and its view
  rtl::Reference<Listener> bridgeListener;  // the connection
  std::map<int, sal_Int32> formatKeys;

  std::atomic<bool> bridgeGone{false};
  std::atomic<bool> documentClosed{false};

  // Watchdog: a call running past its deadline ends LibreOffice.
  std::thread watchdog;
  std::mutex watchMutex;
  std::condition_variable watchWake;
  bool stopWatching = false;
  bool inCall = false;
  std::chrono::steady_clock::time_point deadline;
  std::atomic<bool> hung{false};

  ~Impl() { stopWatchdog(); }

  void startWatchdog() {
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
  void stopWatchdog() {
    if (!watchdog.joinable()) return;
    {
      std::lock_guard lock(watchMutex);
      stopWatching = true;
    }
    watchWake.notify_all();
    watchdog.join();
  }

  // Runs `f` (which may throw UNO exceptions) under the watchdog.
  template <typename F>
  Status guarded(const QString& what, F&& f) {
    if (bridgeGone || hung) return fail(what + QStringLiteral(": LibreOffice が応答しません"));
    {
      std::lock_guard lock(watchMutex);
      inCall = true;
      deadline = std::chrono::steady_clock::now() + options.callTimeout;
    }
    watchWake.notify_all();
    Status status;
    try {
      f();
    } catch (const css::lang::DisposedException&) {
      bridgeGone = true;
      status = fail(what + QStringLiteral(": LibreOffice との接続が切れました"));
    } catch (const css::uno::Exception& e) {
      status = fail(what + QStringLiteral(": ") + toQ(e.Message));
    } catch (const std::exception& e) {
      status = fail(what + QStringLiteral(": ") + QString::fromLocal8Bit(e.what()));
    } catch (...) {
      status = fail(what + QStringLiteral(": 不明なエラー"));
    }
    {
      std::lock_guard lock(watchMutex);
      inCall = false;
    }
    watchWake.notify_all();
    if (hung) return fail(what + QStringLiteral(": LibreOffice が応答しないため終了しました"));
    return status;
  }

  // Whether LibreOffice has a document open besides ours (one the user
  // opened in its window). Unknown counts as yes: that keeps it running.
  bool showsOtherDocuments() {
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

  Status requireDocument() const {
    if (!model.is() || documentClosed) return fail(QStringLiteral("ブックが開いていません"));
    return {};
  }

  // The active sheet of the document's current view; throws when there is none.
  Reference<css::sheet::XSpreadsheet> activeSheet() const {
    Reference<css::frame::XController> controller = model->getCurrentController();
    if (!controller.is()) throw css::lang::DisposedException(OUString::createFromAscii("no view"));
    Reference<css::sheet::XSpreadsheetView> view(controller, UNO_QUERY_THROW);
    Reference<css::sheet::XSpreadsheet> sheet = view->getActiveSheet();
    if (!sheet.is()) throw css::uno::RuntimeException(OUString::createFromAscii("no active sheet"));
    return sheet;
  }

  void select(const css::uno::Any& what) const {
    Reference<css::view::XSelectionSupplier> selection(model->getCurrentController(), UNO_QUERY_THROW);
    selection->select(what);
  }

  Reference<css::awt::XWindow> window() const {
    Reference<css::frame::XController> controller = model->getCurrentController();
    if (!controller.is()) throw css::lang::DisposedException(OUString::createFromAscii("no view"));
    return controller->getFrame()->getContainerWindow();
  }

  sal_Int32 formatKey(Stamp::Kind kind) {
    const auto it = formatKeys.find(static_cast<int>(kind));
    if (it != formatKeys.end()) return it->second;
    const OUString code = kind == Stamp::Kind::Date   ? OUString::createFromAscii("YYYY/MM/DD")
                          : kind == Stamp::Kind::Time ? OUString::createFromAscii("H:MM:SS")
                                                      : OUString::createFromAscii("YYYY/MM/DD H:MM:SS");
    Reference<css::util::XNumberFormatsSupplier> supplier(model, UNO_QUERY_THROW);
    Reference<css::util::XNumberFormats> formats = supplier->getNumberFormats();
    const css::lang::Locale locale;
    sal_Int32 key = formats->queryKey(code, locale, false);
    if (key < 0) key = formats->addNew(code, locale);
    formatKeys[static_cast<int>(kind)] = key;
    return key;
  }

  double serialOf(const Stamp& stamp) const {
    Reference<css::beans::XPropertySet> properties(model, UNO_QUERY_THROW);
    css::util::Date nullDate;
    properties->getPropertyValue(OUString::createFromAscii("NullDate")) >>= nullDate;
    const QDate epoch(nullDate.Year, nullDate.Month, nullDate.Day);
    const double days = static_cast<double>(epoch.daysTo(stamp.value.date()));
    const double fraction = stamp.value.time().msecsSinceStartOfDay() / 86400000.0;
    switch (stamp.kind) {
      case Stamp::Kind::Date:
        return days;
      case Stamp::Kind::Time:
        return fraction;
      case Stamp::Kind::DateTime:
        break;
    }
    return days + fraction;
  }

  bool processAlive() {
    if (pid <= 0) return false;
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
      pid = 0;
      return false;
    }
    return true;
  }

  // Waits for the process to end, then ends its group by force.
  void reap(std::chrono::milliseconds grace) {
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

  void detachListener() {
    if (listener.is()) listener->detach();
    if (bridgeListener.is()) bridgeListener->detach();
  }

  // LibreOffice has ended: nothing of it stays behind. A LibreOffice that
  // was killed could not remove its lock file beside the workbook.
  void cleanUpAfterOffice() {
    removeOwnLock(openedFile, privateFolder);
    if (!profileDir.isEmpty()) QDir(profileDir).removeRecursively();
    guard.standDown();
  }
};

template <typename F>
void Listener::post(F f) {
  std::lock_guard lock(mutex_);
  if (!attached_ || !impl_.owner) return;
  QMetaObject::invokeMethod(impl_.owner, std::move(f), Qt::QueuedConnection);
}

void Listener::queryClosing(const css::lang::EventObject&, sal_Bool) {
  CalcApp* owner = impl_.owner;
  const QString path = impl_.workbookPath;
  post([owner, path] {
    bool cancel = false;  // a veto could not reach LibreOffice in time; nothing vetoes anyway
    emit owner->workbookBeforeClose(path, &cancel);
  });
}

void Listener::notifyClosing(const css::lang::EventObject&) { impl_.documentClosed = true; }

void Listener::selectionChanged(const css::lang::EventObject&) {
  CalcApp* owner = impl_.owner;
  post([owner] {
    const Result<CellRef> cell = owner->activeCell();
    if (cell) emit owner->sheetSelectionChange(QString(), *cell);
  });
}

void Listener::disposing(const css::lang::EventObject&) {
  if (source_ == Source::Bridge)
    impl_.bridgeGone = true;
  else
    impl_.documentClosed = true;
}

namespace {

// Connects to the started soffice, retrying until it accepts or the time is up.
Status connectOffice(CalcApp::Impl& impl) {
  const Reference<css::uno::XComponentContext> local = localContext();
  const auto until = std::chrono::steady_clock::now() + impl.options.startTimeout;
  QString lastError;
  while (std::chrono::steady_clock::now() < until) {
    if (!impl.processAlive()) return fail(QStringLiteral("LibreOffice が終了しました（記録: %1）").arg(impl.logFile));
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
  return fail(QStringLiteral("LibreOffice に接続できません: %1（記録: %2）").arg(lastError, impl.logFile));
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
  if (soffice.isEmpty()) return fail(QStringLiteral("LibreOffice (soffice) が見つかりません"));
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

Status CalcApp::openWorkbook(const QString& path) {
  Impl& i = *impl_;
  const QFileInfo given(path);
  // LibreOffice follows a symbolic link: it locks and stores the file the
  // link points to, and the link stays a link. Our checks look there too.
  const QString resolved = given.canonicalFilePath();
  const QString file = resolved.isEmpty() ? given.absoluteFilePath() : resolved;
  // Rows that cannot be saved are not taken. A missing file is LibreOffice's to report.
  if (QFileInfo::exists(file)) {
    if (!writable(file)) return fail(readOnlyWorkbook(given.fileName()));
    const QString folder = QFileInfo(file).absolutePath();
    if (!writable(folder)) return fail(unwritableFolder(QDir::toNativeSeparators(folder)));
  }
  // One writer per workbook: a live lock refuses, one whose holder is gone is cleared.
  if (Status free = clearStaleLock(file); !free) return free;
  bool readOnly = false;
  const Status opened = i.guarded(QStringLiteral("ブックを開けません"), [&] {
    // Never "Hidden": a hidden document ignores the view saved in the file
    // (its controller gives the first sheet and A1, and getViewData() is
    // empty, so there is nothing to restore), and rows would land on the
    // wrong sheet. A headless LibreOffice shows no window either way.
    css::uno::Sequence<css::beans::PropertyValue> args(1);
    args.getArray()[0].Name = OUString::createFromAscii("Hidden");
    args.getArray()[0].Value <<= false;
    const QString url = QUrl::fromLocalFile(file).toString(QUrl::FullyEncoded);
    Reference<css::lang::XComponent> component =
        i.desktop->loadComponentFromURL(toOU(url), OUString::createFromAscii("_blank"), 0, args);
    Reference<css::frame::XModel> model(component, UNO_QUERY);
    if (!model.is()) throw css::uno::RuntimeException(OUString::createFromAscii("not a spreadsheet"));
    Reference<css::sheet::XSpreadsheetView> view(model->getCurrentController(), UNO_QUERY);
    if (!view.is()) throw css::uno::RuntimeException(OUString::createFromAscii("not a spreadsheet"));
    // LibreOffice opens a workbook it may not write (locked meanwhile, or no
    // permission) read-only, and only the save at the end would fail.
    if (Reference<css::frame::XStorable>(model, UNO_QUERY_THROW)->isReadonly()) {
      readOnly = true;
      Reference<css::util::XCloseable>(model, UNO_QUERY_THROW)->close(true);
      return;
    }
    i.model = model;
    i.workbookPath = path;
    i.workbookName = given.fileName();
    i.documentClosed = false;
    i.formatKeys.clear();
    Reference<css::util::XCloseBroadcaster>(model, UNO_QUERY_THROW)
        ->addCloseListener(Reference<css::util::XCloseListener>(i.listener.get()));
    Reference<css::view::XSelectionSupplier>(model->getCurrentController(), UNO_QUERY_THROW)
        ->addSelectionChangeListener(Reference<css::view::XSelectionChangeListener>(i.listener.get()));
  });
  if (!opened) return opened;
  if (readOnly) {
    // Most often someone took the workbook between our look and LibreOffice's: say who.
    if (Status free = clearStaleLock(file); !free) return free;
    return fail(
        QStringLiteral("ブックを開けません: %1 は読み取り専用でしか開けません").arg(QFileInfo(file).fileName()));
  }
  i.openedFile = file;
  i.guard.watchLock(lockFilePath(file));
  return {};
}

Status CalcApp::setVisible(bool visible) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (i.options.headless) return {};
  return i.guarded(QStringLiteral("ウィンドウを表示できません"), [&] { i.window()->setVisible(visible); });
}

Status CalcApp::setWindowStateNormal() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (i.options.headless) return {};
  return i.guarded(QStringLiteral("ウィンドウを元に戻せません"), [&] {
    Reference<css::awt::XTopWindow2> top(i.window(), UNO_QUERY);
    if (!top.is()) return;
    top->setIsMinimized(false);
    top->setIsMaximized(false);
    // A fresh profile remembers no window: LibreOffice then opens it a pixel
    // wide at the screen's corner. Give it a size one can work in.
    const css::awt::Rectangle placed = i.window()->getPosSize();
    if (placed.Width < MinWindowWidth || placed.Height < MinWindowHeight)
      i.window()->setPosSize(WindowMargin, WindowMargin, UsableWindowWidth, UsableWindowHeight,
                             css::awt::PosSize::POSSIZE);
  });
}

QRect CalcApp::windowGeometry() const {
  Impl& i = *impl_;
  if (!i.requireDocument() || i.options.headless) return {};
  QRect rect;
  static_cast<void>(i.guarded(QStringLiteral("ウィンドウの位置を読めません"), [&] {
    const css::awt::Rectangle r = i.window()->getPosSize();
    rect = QRect(r.X, r.Y, r.Width, r.Height);
  }));  // an unreadable window reads as no rectangle
  return rect;
}

Status CalcApp::saveActiveWorkbook() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  const QString what = cannotSave(i.workbookName);
  bool modified = true;
  const Status asked =
      i.guarded(what, [&] { modified = Reference<css::util::XModifiable>(i.model, UNO_QUERY_THROW)->isModified(); });
  if (!asked) return asked;
  // Nothing written since it was opened or saved: the file keeps its bytes and its time.
  if (!modified) return {};
  // Made read-only meanwhile: LibreOffice run by root would write it all the same.
  const QString readOnly = QStringLiteral("ファイルが読み取り専用です");
  if (QFileInfo::exists(i.openedFile) && !writable(i.openedFile))
    return fail(SheetError::NotSaved, cannotSave(i.workbookName, readOnly));
  QString failure;
  const Status status = i.guarded(what, [&] {
    // A failed store leaves the file as it was and the document open and
    // modified: the caller may keep the rows and try again.
    try {
      Reference<css::frame::XStorable>(i.model, UNO_QUERY_THROW)->store();
    } catch (const css::task::ErrorCodeIOException& e) {
      failure = QStringLiteral("LibreOffice のエラーコード 0x%1")
                    .arg(static_cast<quint32>(e.ErrCode), 8, 16, QLatin1Char('0'));
    } catch (const css::io::IOException& e) {
      failure = toQ(e.Message);
    }
  });
  if (!status) return status;
  if (failure.isEmpty()) return {};
  // LibreOffice's code says only that writing failed; the file system says why.
  if (QFileInfo::exists(i.openedFile) && !writable(i.openedFile))
    return fail(SheetError::NotSaved, cannotSave(i.workbookName, readOnly));
  if (diskFull(i.openedFile))
    return fail(SheetError::NotSaved, cannotSave(i.workbookName, QStringLiteral("ディスクの空き容量が足りません")));
  return fail(SheetError::NotSaved,
              cannotSave(i.workbookName, QStringLiteral("書き込みに失敗しました（%1）").arg(failure)));
}

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

Status CalcApp::closeWorkbookWindow() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  return i.guarded(QStringLiteral("ブックを閉じられません"),
                   [&] { Reference<css::util::XCloseable>(i.model, UNO_QUERY_THROW)->close(true); });
}

Status CalcApp::activateSheet(const QString& name) {
  if (name.isEmpty()) return {};
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  return i.guarded(QStringLiteral("シート「%1」を選べません").arg(name), [&] {
    Reference<css::sheet::XSpreadsheetDocument> document(i.model, UNO_QUERY_THROW);
    Reference<css::sheet::XSpreadsheet> sheet(document->getSheets()->getByName(toOU(name)), UNO_QUERY_THROW);
    Reference<css::sheet::XSpreadsheetView>(i.model->getCurrentController(), UNO_QUERY_THROW)->setActiveSheet(sheet);
  });
}

Status CalcApp::selectRange(const QString& address) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  const Result<CellRef> cell = parseA1(address);
  if (!cell) return cell.error();
  if (!positionInside(cell->row, cell->column)) return outsideSheet(cell->row, cell->column);
  return i.guarded(QStringLiteral("セルを選択できません"), [&] {
    Reference<css::table::XCellRange> range = i.activeSheet()->getCellRangeByName(toOU(address.toUpper()));
    i.select(css::uno::Any(range));
  });
}

Result<CellRef> CalcApp::activeCell() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s.error();
  CellRef cell;
  const Status status = i.guarded(QStringLiteral("アクティブセルを読めません"), [&] {
    Reference<css::view::XSelectionSupplier> selection(i.model->getCurrentController(), UNO_QUERY_THROW);
    const css::uno::Any selected = selection->getSelection();
    Reference<css::sheet::XCellAddressable> single(selected, UNO_QUERY);
    if (single.is()) {
      const css::table::CellAddress a = single->getCellAddress();
      cell = {a.Row + 1, a.Column + 1};
      return;
    }
    Reference<css::sheet::XCellRangeAddressable> range(selected, UNO_QUERY);
    if (!range.is()) throw css::uno::RuntimeException(OUString::createFromAscii("no cell selected"));
    const css::table::CellRangeAddress a = range->getRangeAddress();
    cell = {a.StartRow + 1, a.StartColumn + 1};
  });
  if (!status) return status.error();
  return cell;
}

Status CalcApp::selectCell(std::int32_t row, std::int32_t column) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(row, column)) return outsideSheet(row, column);
  return i.guarded(QStringLiteral("セルを選択できません"),
                   [&] { i.select(css::uno::Any(i.activeSheet()->getCellByPosition(column - 1, row - 1))); });
}

Status CalcApp::setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(row, column)) return outsideSheet(row, column);
  return i.guarded(QStringLiteral("セルに書き込めません"), [&] {
    Reference<css::table::XCell> cell = i.activeSheet()->getCellByPosition(column - 1, row - 1);
    if (const auto* text = std::get_if<QString>(&value)) {
      // Typed input: plain numbers become numbers; nothing becomes a formula.
      const xls::Value typed = xls::parseTyped(text->toStdString());
      if (const auto* number = std::get_if<double>(&typed))
        cell->setValue(*number);
      else
        Reference<css::text::XText>(cell, UNO_QUERY_THROW)->setString(toOU(*text));
    } else if (const auto* number = std::get_if<std::int32_t>(&value)) {
      cell->setValue(*number);
    } else if (const auto* stamp = std::get_if<Stamp>(&value)) {
      cell->setValue(i.serialOf(*stamp));
      Reference<css::beans::XPropertySet>(cell, UNO_QUERY_THROW)
          ->setPropertyValue(OUString::createFromAscii("NumberFormat"), css::uno::Any(i.formatKey(stamp->kind)));
    }
  });
}

Result<ActiveSheetInfo> CalcApp::activeSheetInfo() {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s.error();
  ActiveSheetInfo info;
  const Status status = i.guarded(QStringLiteral("アクティブシートを読めません"), [&] {
    info.name = toQ(Reference<css::container::XNamed>(i.activeSheet(), UNO_QUERY_THROW)->getName());
  });
  if (!status) return status.error();
  return info;
}

Status CalcApp::ensureColumnWidth(std::int32_t column, int characters) {
  Impl& i = *impl_;
  if (Status s = i.requireDocument(); !s) return s;
  if (!positionInside(1, column)) return outsideSheet(1, column);
  return i.guarded(QStringLiteral("列の幅を変えられません"), [&] {
    Reference<css::util::XModifiable> modifiable(i.model, UNO_QUERY_THROW);
    const bool wasModified = modifiable->isModified();
    Reference<css::table::XColumnRowRange> range(i.activeSheet(), UNO_QUERY_THROW);
    Reference<css::beans::XPropertySet> col(range->getColumns()->getByIndex(column - 1), UNO_QUERY_THROW);
    const OUString width = OUString::createFromAscii("Width");
    const sal_Int32 before = col->getPropertyValue(width).get<sal_Int32>();
    // The width its contents need, as LibreOffice measures them, but never
    // narrower than the user made it, nor than `characters` digits.
    col->setPropertyValue(OUString::createFromAscii("OptimalWidth"), css::uno::Any(true));
    const sal_Int32 optimal = col->getPropertyValue(width).get<sal_Int32>();
    const sal_Int32 wanted = std::max({before, optimal, static_cast<sal_Int32>(characters) * DigitWidth});
    col->setPropertyValue(width, css::uno::Any(wanted));
    // Measuring is no change: a column left as wide as it was gives the
    // document nothing to save. (It follows a written cell in a run, so the
    // document is modified already and keeps that.)
    if (wanted == before && !wasModified) modifiable->setModified(false);
  });
}

}  // namespace kestrune::sheet::calc
