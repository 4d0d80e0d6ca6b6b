#include "app/headless.h"

#include "app/main_window_logic.h"
#include "app/run_control.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>

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

class HeadlessRunner final : public MainView, public RunHost {
public:
  HeadlessRunner(Logger& logger, QString workbookPath)
      : logger_(logger), workbookPath_(std::move(workbookPath)), logic_(logger, *this), run_(logger, *this) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { tick(); });
  }

  int exec() {
    logic_.programEntry();
    logic_.Form_Load();
    logic_.CommandOpen_Click();
    if (!logic_.workbookOpen()) {
      printLine(stderr, QStringLiteral("kestrune: the workbook could not be opened: ") + workbookPath_);
      logic_.Form_Unload();
      return ExitCouldNotStart;
    }
    run_.CommandStart_Click();
    if (!run_.runWindowLoaded()) {
      printLine(stderr, QStringLiteral("kestrune: the run could not start"));
      // Nothing was written: the close leaves the file as it was.
      logic_.CommandClose_Click();
      logic_.Form_Unload();
      return ExitCouldNotStart;
    }
    if (run_.runWindowLoaded()) loop_.exec();
    timer_.stop();
    // Rows the broker has not acknowledged yet get a moment while connected;
    // whatever is left is sent after the next start.
    run_.publishing().drain(DrainLimit);
    clearStatus();
    logic_.CommandClose_Click();
    const bool kept = logic_.rowsLeftInJournal();
    logic_.Form_Unload();
    if (kept) return ExitNotSaved;
    if (run_.journalLost()) return ExitJournalLost;
    if (interruptedBy_ != 0) return 128 + interruptedBy_;
    return run_.sheetFull() ? ExitSheetFull : ExitFinished;
  }

  // MainView: there is no main window; the path is the one given.
  void showPanel(Panel) override {}
  void setSettingsMenusEnabled(bool) override {}
  QString fileNameText() const override { return workbookPath_; }
  void setOpenVisible(bool) override {}
  void setOpenWorkbookControlsVisible(bool) override {}
  void setFileChoiceEnabled(bool) override {}
  void setFileNameText(const QString&) override {}
  QString askWorkbookPath() override { return {}; }
  void focusWindow() override {}

  // RunHost
  void hideMainWindow() override {}
  void showMainWindow() override {}
  void loadRunWindow() override {
    connectInput();
    timer_.start(10);
  }
  void showRunWindow() override {}
  void closeRunWindow() override {
    timer_.stop();
    loop_.quit();
  }
  void setRunMessage(const QString&) override {}
  void setRunError(const QString& text) override {
    if (!text.isEmpty() && text != lastError_) printError(text);
    lastError_ = text;
  }
  void setNextVisible(bool visible, bool) override {
    if (visible) printError(QStringLiteral("一時停止中: Enter で次へ進みます"));
  }
  // On a terminal one status line is kept up to date in place; into a file
  // or a pipe nothing is added, so logs stay as they were.
  void showProgress(const RunProgress& progress) override {
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
  void showPublishing(const PublishingStatus& status) override {
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
  void setLogShown(bool) override {}
  void logAppended(const QString& line, const QString&) override {
    QString shown = line;
    shown.remove(QChar(13));
    shown.remove(QChar(10));
    printLine(stdout, shown);
  }
  void showAcquisitionNo(const QString&) override {}
  void pumpEvents() override { QCoreApplication::processEvents(); }

private:
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

  void tick() {
    run_.Timer1_Timer();
    // The script has ended: end the run as the End button would.
    if (!logger_.runActive() && run_.runWindowLoaded()) run_.CommandRsEnd_Click();
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
        if (buffer[i] == '\n' && run_.interpreter().pausedForNext()) run_.CommandNext_Click();
    });
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalFds) == 0) {
      signals_ = std::make_unique<QSocketNotifier>(signalFds[1], QSocketNotifier::Read);
      QObject::connect(signals_.get(), &QSocketNotifier::activated, signals_.get(), [this] {
        char byte = 0;
        [[maybe_unused]] const ssize_t got = ::read(signalFds[1], &byte, 1);
        if (!run_.runWindowLoaded()) return;
        // A signal after the script's end changes nothing: the run is complete.
        if (logger_.runActive()) interruptedBy_ = static_cast<unsigned char>(byte);
        run_.CommandRsEnd_Click();
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

  Logger& logger_;
  QString workbookPath_;
  MainWindowLogic logic_;
  RunController run_;
  QTimer timer_;
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

int runHeadless(Logger& logger, const QString& workbookPath) {
  HeadlessRunner runner(logger, workbookPath);
  return runner.exec();
}

}  // namespace kestrune::app
