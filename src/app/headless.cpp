#include "app/headless.h"

#include "app/web_view.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>

#include <cstdio>

// Signals reach the event loop through a socket pair (the self-pipe pattern).
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrune::app {

namespace {

int signalFds[2] = {-1, -1};

void onSignal(int signal) {
  const char byte = static_cast<char>(signal);
  [[maybe_unused]] const ssize_t written = ::write(signalFds[0], &byte, 1);
}

void printLine(std::FILE* stream, const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fprintf(stream, "%s\n", bytes.constData());
  std::fflush(stream);
}

class HeadlessRunner final {
public:
  HeadlessRunner(AcquisitionSession& session, MessageBoxes& boxes, QString workbookPath, QString serve)
      : session_(session), boxes_(boxes), workbookPath_(std::move(workbookPath)), serve_(std::move(serve)) {
    QObject::connect(&session_, &AcquisitionSession::message, &context_,
                     [this](const QString& text, MessageIcon icon, const QString& informative) {
                       clearStatus();
                       boxes_.show(text, icon, informative);
                     });
    QObject::connect(&session_, &AcquisitionSession::errorText, &context_,
                     [this](const QString& text) { showError(text); });
    QObject::connect(&session_, &AcquisitionSession::goodNews, &context_,
                     [this](const QString& text) { showError(text); });
    QObject::connect(&session_, &AcquisitionSession::nextWanted, &context_, [this](bool wanted) {
      if (wanted) printError(QStringLiteral("一時停止中: Enter で次へ進みます"));
    });
    QObject::connect(&session_, &AcquisitionSession::logAppended, &context_, [](const QString& line, const QString&) {
      QString shown = line;
      shown.remove(QChar(13));
      shown.remove(QChar(10));
      printLine(stdout, shown);
    });
    QObject::connect(&session_, &AcquisitionSession::progressChanged, &context_,
                     [this](const RunProgress& progress) { showProgress(progress); });
    QObject::connect(&session_, &AcquisitionSession::publishingChanged, &context_,
                     [this](const PublishingStatus& status) { showPublishing(status); });
    // Acquiring stopped on its own: the run ends as End ends it, once the
    // tick that stopped it has returned and its messages are out.
    QObject::connect(&session_, &AcquisitionSession::acquiringStopped, &context_, [this] {
      QMetaObject::invokeMethod(
          &context_, [this] { session_.end(); }, Qt::QueuedConnection);
    });
    QObject::connect(&session_, &AcquisitionSession::runEnded, &context_, [this] { loop_.quit(); });
    // Each alarm raised or cleared, on a line of its own.
    QObject::connect(&session_, &AcquisitionSession::alarmChanged, &context_,
                     [this](const alarm::AlarmEvent&, const QString& line, int) { printError(line); });
  }

  int exec() {
    session_.loadSettings();
    session_.setWorkbookPath(workbookPath_);
    if (!session_.open()) {
      printLine(stderr, QStringLiteral("kestrune: the workbook could not be opened: ") + workbookPath_);
      session_.saveSettings();
      session_.release();
      return ExitCouldNotStart;
    }
    connectInput();
    if (!startWebView()) {
      session_.close();
      session_.saveSettings();
      session_.release();
      return ExitCouldNotStart;
    }
    if (!session_.start()) {
      printLine(stderr, QStringLiteral("kestrune: the run could not start"));
      // Nothing was written: the close leaves the file as it was.
      session_.close();
      session_.saveSettings();
      session_.release();
      return ExitCouldNotStart;
    }
    if (session_.runLoaded()) loop_.exec();
    web_.stop();
    // Rows the broker has not acknowledged yet get a moment while connected;
    // whatever is left is sent after the next start.
    session_.publishing().drain(DrainLimit);
    clearStatus();
    const bool kept = !session_.close();
    session_.saveSettings();
    session_.release();
    if (kept) return ExitNotSaved;
    if (session_.journalLost()) return ExitJournalLost;
    if (interruptedBy_ != 0) return 128 + interruptedBy_;
    if (session_.endedByAlarm()) return ExitAlarm;
    return session_.sheetFull() ? ExitSheetFull : ExitFinished;
  }

private:
  // The web view where --serve or http.listen says; false (said) when it
  // cannot listen there.
  bool startWebView() {
    const Result<web::WebSettings> settings = webSettings(session_.folder(), serve_);
    Status started = settings ? web_.start(*settings) : Status(settings.error());
    if (!started) {
      printLine(stderr, QStringLiteral("kestrune: ") + started.description());
      return false;
    }
    if (web_.running()) printLine(stderr, QStringLiteral("kestrune: ") + web_.description());
    return true;
  }

  void showError(const QString& text) {
    if (!text.isEmpty() && text != lastError_) printError(text);
    lastError_ = text;
  }
  // On a terminal one status line is kept up to date in place; into a file
  // or a pipe nothing is added, so logs stay as they were.
  void showProgress(const RunProgress& progress) {
    lastProgress_ = progress;
    if (!statusLine_) return;
    QString text = progressLine(progress);
    if (const QString publishing = publishingLine(publishing_); !publishing.isEmpty())
      text += QStringLiteral("　") + publishing;
    const QByteArray line = text.toUtf8();
    std::fprintf(stderr, "\r\033[K%s", line.constData());
    std::fflush(stderr);
    statusShown_ = true;
  }
  // One line on standard error when the connection comes or goes (or the
  // sender cannot run); the status line shows the rest.
  void showPublishing(const PublishingStatus& status) {
    const bool first = !publishingShown_;
    publishingShown_ = true;
    const PublishingStatus before = publishing_;
    publishing_ = status;
    const bool problemNews = !status.connected && !status.problem.isEmpty() && status.problem != before.problem;
    if (status.on && ((first && !status.usable) || before.connected != status.connected ||
                      before.usable != status.usable || problemNews)) {
      QString text = QStringLiteral("kestrune: ") + publishingLine(status);
      if (!status.connected && !status.problem.isEmpty())
        text += QStringLiteral("（") + status.problem + QStringLiteral("）");
      printError(text);
    }
    if (statusShown_) showProgress(lastProgress_);
  }

  // Messages go above the status line, which the next progress redraws.
  void printError(const QString& text) {
    clearStatus();
    printLine(stderr, text);
  }
  void clearStatus() {
    if (!statusShown_) return;
    std::fputs("\r\033[K", stderr);
    statusShown_ = false;
  }

  void connectInput() {
    if (input_) return;
    input_ = std::make_unique<QSocketNotifier>(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(input_.get(), &QSocketNotifier::activated, input_.get(), [this] {
      char buffer[256];
      const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
      if (n <= 0) {
        input_->setEnabled(false);  // end of input: nobody will press Enter
        return;
      }
      for (ssize_t i = 0; i < n; ++i)
        if (buffer[i] == '\n' && session_.pausedForNext()) session_.next();
    });
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalFds) == 0) {
      signals_ = std::make_unique<QSocketNotifier>(signalFds[1], QSocketNotifier::Read);
      QObject::connect(signals_.get(), &QSocketNotifier::activated, signals_.get(), [this] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalFds[1], &byte, 1);
        if (!session_.runLoaded()) return;
        // A signal after the script's end changes nothing: the run is complete.
        if (session_.running()) interruptedBy_ = static_cast<unsigned char>(byte);
        session_.end();
      });
      struct sigaction action = {};
      action.sa_handler = onSignal;
      sigemptyset(&action.sa_mask);
      action.sa_flags = SA_RESTART;
      // Ctrl+C, a stop request, a closed terminal or SSH session, Ctrl+\: each
      // ends the run as End does, so the rows are saved.
      for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(signal, &action, nullptr);
      // Output into a pipe whose reader has gone must not end the program.
      std::signal(SIGPIPE, SIG_IGN);
    }
  }

  AcquisitionSession& session_;
  MessageBoxes& boxes_;
  QString workbookPath_;
  QString serve_;
  WebView web_{session_};
  QObject context_;
  QEventLoop loop_;
  std::unique_ptr<QSocketNotifier> input_;
  std::unique_ptr<QSocketNotifier> signals_;
  QString lastError_;
  int interruptedBy_ = 0;  // the signal that ended the run early
  const bool statusLine_ = ::isatty(STDERR_FILENO) == 1;
  RunProgress lastProgress_;
  PublishingStatus publishing_;
  bool publishingShown_ = false;
  static constexpr std::chrono::milliseconds DrainLimit{3000};
  bool statusShown_ = false;
};

}  // namespace

int runHeadless(AcquisitionSession& session, MessageBoxes& boxes, const QString& workbookPath, const QString& serve) {
  HeadlessRunner runner(session, boxes, workbookPath, serve);
  return runner.exec();
}

}  // namespace kestrune::app
