// Run control: Start, the run window's life (load, ticks, Next, End, the log
// box) and the hand-over to the interpreter. The run window and the headless
// runner both drive this class; they only show what it asks of its RunHost.
#pragma once

#include "app/comm_log.h"
#include "app/logger.h"
#include "app/mqtt_publishing.h"
#include "app/run_progress.h"
#include "script/interpreter.h"
#include "script/run_view.h"
#include "serial/reception.h"

#include <QString>

#include <deque>

namespace kestrune::app {

inline const QString MsgChannelPrefix = QStringLiteral("通信CH");
inline const QString MsgChannelSuffix = QStringLiteral("が使用できません！");
// %1: the name of the active sheet.
inline const QString MsgSheetNotWorksheet = QStringLiteral(
    "シート「%1」はワークシートではありません。データを書き込むワークシートを選んでから開始してください");

// The start row stored in setup.dat is below the first row: %1 is that row.
inline const QString MsgStartRowBelowFirst =
    QStringLiteral("開始セルの行 %1 は使えません。行は 1 以上にしてください。開始セルを設定し直してください");

// The workbook stopped taking values during a run: %1 is the journal's path.
inline const QString MsgRowsOnlyInJournal = QStringLiteral(
    "ブックに書き込めなくなりました。以降の取得データはブックには書き込まれず、%1 "
    "に保存されています。次にブックを開いたときにブックへ書き込まれます。");
inline const QString MsgRowsNotKept =
    QStringLiteral("ブックに書き込めなくなりました。以降の取得データはブックにもファイルにも保存されていません。");

// Received data that could not be kept in this run: %1 lines the receive
// buffer had no room for, %2 values beyond a row's limit.
inline const QString MsgDropped =
    QStringLiteral("受信データを捨てました：受信バッファ満杯で %1 行、1 回の取込みの上限を超えた値 %2 個");

// The windows as run control sees them.
class RunHost {
public:
  virtual ~RunHost() = default;
  virtual void hideMainWindow() = 0;
  // Shows the main window again and gives it the focus.
  virtual void showMainWindow() = 0;
  // Loads the run window: placed at the top of the screen, centred, log
  // empty and hidden (short window, legend hidden, box unticked), Next
  // hidden, its 10 ms timer running.
  virtual void loadRunWindow() = 0;
  // Shows the run window and gives it the focus.
  virtual void showRunWindow() = 0;
  // Closes the run window and stops its timer.
  virtual void closeRunWindow() = 0;
  virtual void setRunMessage(const QString& text) = 0;
  virtual void setRunError(const QString& text) = 0;
  // Good news in the error label's place (the device is back), shown apart
  // from the errors; by default as one.
  virtual void setRunGoodNews(const QString& text) { setRunError(text); }
  // CommandNext; `focus` gives it the keyboard focus.
  virtual void setNextVisible(bool visible, bool focus) = 0;
  // The tall window with the log and its legend, or the short one.
  virtual void setLogShown(bool shown) = 0;
  // The log after `line` was appended; `text` is the whole log.
  virtual void logAppended(const QString& line, const QString& text) = 0;
  // TextCellNo on the main window.
  virtual void showAcquisitionNo(const QString& number) = 0;
  virtual void pumpEvents() = 0;
  // How far the run has come; sent when a row is done and once a second.
  virtual void showProgress(const RunProgress& progress) { static_cast<void>(progress); }
  // Publishing rows to the MQTT broker changed state (connected or not, rows
  // waiting); sent at Start and from the tick when it changed.
  virtual void showPublishing(const PublishingStatus& status) { static_cast<void>(status); }
  // The script ran to its end: tell someone who is not watching.
  virtual void notifyRunFinished(const QString& summary) { static_cast<void>(summary); }
  // A completed row for the chart: its time since Start, its acquisition
  // number (when numbering is on) and its values.
  virtual void chartRow(std::int64_t elapsedMs, std::optional<std::int32_t> acquisitionNo,
                        const std::vector<sheet::CellValue>& values) {
    static_cast<void>(elapsedMs);
    static_cast<void>(acquisitionNo);
    static_cast<void>(values);
  }
};

class RunController final : public script::RunView, public serial::ErrorLabel {
public:
  RunController(Logger& logger, RunHost& host);
  ~RunController() override;

  // Start: opens the channel, prepares the script, places the cursor and
  // opens the run window. An active sheet that holds no cells (a chart
  // sheet) refuses the start first, with a message and nothing touched.
  void CommandStart_Click();
  // The last Start was refused for the active sheet: nothing was opened,
  // sent or written.
  bool startRefusedForSheet() const { return startRefusedForSheet_; }

  // The run window.
  void Form_Load();
  void Timer1_Timer();
  void CheckLog_Click(bool ticked);
  void CommandNext_Click();
  void CommandNext_KeyPress(int keyCode);
  void CommandRsEnd_Click();
  // The run window is closed by End or by any other means (its close box).
  void Form_Unload();

  bool runWindowLoaded() const { return runWindowLoaded_; }
  script::Interpreter& interpreter() { return interpreter_; }
  const CommLog& log() const { return log_; }

  // RunView
  void setMessage(const QString& text) override;
  void showNextButton() override;
  void termAppend(const QString& line) override;
  void showAcquisitionNo(const QString& number) override;
  void pumpEvents() override;
  void rowCompleted(const std::vector<sheet::CellValue>& values) override;
  void scriptFinished() override;

  // Publishing to the MQTT broker (off unless kestrune.conf names one).
  MqttPublishing& publishing() { return publishing_; }
  // The run ended because the sheet has no row left.
  bool sheetFull() const { return sheetFull_; }
  // The run stopped because no journal could be written anywhere.
  bool journalLost() const { return journalLost_; }
  // The figures shown last (rows done, time, rate, the last row).
  const RunProgress& progress() const { return progress_; }
  // ErrorLabel
  void setErrorText(const QString& text) override;
  void setGoodNewsText(const QString& text) override;
  void logNotice(const QString& text) override;

private:
  Logger& logger_;
  RunHost& host_;
  script::Interpreter interpreter_;
  CommLog log_;
  std::int32_t lastTick_ = 0;
  RunProgress progress_;
  // Takes the figures from the interpreter and the clock; shows them when
  // they changed to the second.
  void updateProgress(bool force);
  void tick(bool letEventsRun);
  void endAtSheetEnd();
  void endForLostJournal(const QString& text);
  void workbookLost();
  // Completed rows go to MQTT once the journal has them on the disk.
  struct Unpublished {
    int journalRows;  // the journal's rows once this row is in
    std::int32_t row;
    std::vector<sheet::CellValue> values;
  };
  std::deque<Unpublished> unpublished_;
  // `all`: the journal will not make them durable any more (lost, or closed).
  void publishDurableRows(bool all);
  void updateDropped();
  std::pair<std::uint64_t, std::uint64_t> droppedShown_;
  // Rows the workbook holds from this run, once it stopped taking them.
  std::optional<std::int32_t> rowsInWorkbook_;
  std::int32_t rowsCompleted_ = 0;
  QString lostText_;
  bool activeSheetTakesCells();
  QString activeSheetName();
  bool startRefusedForSheet_ = false;
  bool ticking_ = false;
  bool runWindowLoaded_ = false;
  bool sheetFull_ = false;
  bool journalLost_ = false;
  std::int32_t lastSaveTick_ = 0;
  static constexpr std::int32_t SaveIntervalMs = 60000;
  MqttPublishing publishing_;
  PublishingStatus publishingShown_;
  void updatePublishing(bool force);
  // Owns the connections to the workbook's signals: they end with this object.
  QObject context_;
};

}  // namespace kestrune::app
