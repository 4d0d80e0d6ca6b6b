// The acquisition session: everything one logger needs to acquire rows into
// a workbook, and the run itself. It owns the channels and their reception,
// the settings record, the script and its interpreter, the workbook
// connection (with the run cursor and the journal), MQTT publishing and the
// run's 10 ms tick. Its API is what a run is: open the workbook, start,
// tick, next, end, close. It says what happens through signals; the main
// window, the run window and the headless runner observe it and show what it
// says, and none of them decides anything about the run.
//
// A completed row is built once, as an AcquiredRow, and taken by its
// consumers in this order: the workbook and its journal (the journal's row
// ends, the cursor moves below it), MQTT (once the journal has the row on
// the disk), the consumers added with addRowConsumer, the rowAcquired signal
// (the chart), and the progress figures.
//
// The tick never re-enters and never waits on the user: it runs no events
// and shows no modal box. Messages raised during a tick are emitted once the
// tick has returned.
#pragma once

#include "app/comm_log.h"
#include "app/mqtt_publishing.h"
#include "core/run_options.h"
#include "app/run_progress.h"
#include "app/run_record.h"
#include "core/acquired_row.h"
#include "core/alarm_monitor.h"
#include "core/clock.h"
#include "core/message_boxes.h"
#include "script/interpreter.h"
#include "script/run_view.h"
#include "script/script.h"
#include "serial/channels.h"
#include "serial/port_map.h"
#include "serial/reception.h"
#include "settings/settings_folder.h"
#include "settings/setup_record.h"
#include "sheet/workbook_connection.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace kestrune::app {

inline const QString MsgChannelPrefix = QStringLiteral("通信CH");
inline const QString MsgChannelSuffix = QStringLiteral("が使用できません！");
// %1: the name of the active sheet.
inline const QString MsgSheetNotWorksheet = QStringLiteral(
    "シート「%1」はワークシートではありません。データを書き込むワークシートを選んでから開始してください");

// The run's sheet was full and it goes on in a new one: %1 its name.
inline const QString MsgSheetContinued =
    QStringLiteral("ワークシートの最終行に達したため、新しいシート「%1」に続けて書き込みます");

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

// The wall clock stepped during a run: %1 the step in seconds with its
// thousandths, %2 the wall clock's time when the step was noticed.
inline const QString MsgClockForward = QStringLiteral("時計が %1 秒進みました（%2 に検出）");
inline const QString MsgClockBack = QStringLiteral("時計が %1 秒戻りました（%2 に検出）");
// The log line for a step of `stepMs` (positive: forward) noticed at `wallNow`.
QString clockStepLine(qint64 stepMs, const QDateTime& wallNow);

// The workbook's alarm rules in kestrune.conf cannot be used: Start refuses
// (the reason, naming each key at fault, as the informative text).
inline const QString MsgAlarmRules = QStringLiteral("アラームの設定に誤りがあるため、データ取得を開始できません。");

// The line an alarm raised or cleared gives in the communication log, the
// run window and standard error: "アラーム 9:05:03 D列 31.5：上限 30 を超えています".
QString alarmLine(const alarm::AlarmEvent& event);

// The workbook's typing rule for a received field: its number when the
// workbook stores it as one.
AcquiredValue typedValue(const QString& text);
// A row's parts from the cells an acquisition wrote: the number, the stamp
// and the typed values. Its place, sequence and time are the session's to add.
AcquiredRow rowFromCells(const std::vector<sheet::CellValue>& cells);

// Where a run stands: none loaded, acquiring, held by a PAU step, stopped on
// its own (the script's end, a full sheet, a lost journal) until end().
enum class RunState { Idle, Running, Paused, Stopped };

class AcquisitionSession final : public QObject,
                                 public settings::ConditionsHolder,
                                 public settings::LineHolder,
                                 private script::RunView,
                                 private serial::ErrorLabel {
  Q_OBJECT
public:
  AcquisitionSession(const serial::Channels::PortFactory& portFactory, settings::SettingsFolder folder, Clock& clock,
                     sheet::SpreadsheetFactory spreadsheetFactory = {}, QObject* parent = nullptr);
  ~AcquisitionSession() override;

  // -- Settings -----------------------------------------------------------
  // setup.dat into the settings and every channel's port, and back. A file
  // that cannot be read, or whose slot 0 cannot be used, is said as a message.
  void loadSettings();
  void saveSettings();
  const settings::SettingsFolder& folder() const { return folder_; }
  const settings::Settings& settings() const { return settings_; }
  // The conditions the panel edits; the cursor (start cell and number) moves
  // with every row written.
  const settings::Conditions& conditions() const override { return settings_.conditions; }
  void setConditions(const settings::Conditions& conditions,
                     settings::Rewrite rewrite = settings::Rewrite::Changed) override;
  // A channel's line: the settings and the port object that uses them. Ports
  // of channels other than 0 are set while closed; a channel without a port
  // (settings::NoPort) only keeps its values.
  const settings::LineSettings& lineSettings(int channel) const override;
  Status applyLineSettings(int channel, const settings::LineSettings& line) override;
  const settings::LineSettings& lineSettings() const { return lineSettings(0); }
  Status applyLineSettings(const settings::LineSettings& line) { return applyLineSettings(0, line); }
  // Which device each "Com n" names (ports.conf); every channel opens its
  // device through it from the next start on.
  void setPortMap(const serial::PortMap& map);
  const serial::PortMap& portMap() const { return portMap_; }
  serial::Port& port(int channel) { return channels_.port(channel); }
  serial::Reception& reception() { return reception_; }
  Clock& clock() { return clock_; }
  // What the libraries below the session tell the user goes out as message().
  MessageBoxes& messages() { return messages_; }

  // -- The workbook -------------------------------------------------------
  // The workbook path exactly as typed (not trimmed).
  const QString& workbookPath() const { return workbookPath_; }
  void setWorkbookPath(const QString& path) { workbookPath_ = path; }
  // The global run options of kestrune.conf, read again at each start.
  const RunOptions& runOptions() const { return runOptions_; }
  // Opens the workbook (and brings in what its journal holds); what failed
  // has been said when it returns. True when the workbook is open.
  bool open();
  // Saves settings, then saves and closes the workbook; what failed has been
  // said. False when rows are left only in the journal (the workbook could
  // not be saved, or could not take them all).
  bool close();
  // Lets go of the application at program end without closing it.
  void release();
  bool workbookOpen() const { return workbook_.excelState() == sheet::ExcelState::Open; }
  // The sheet of the run (or of the last one); empty before a run.
  const QString& runSheet() const { return runSheet_; }
  sheet::WorkbookConnection& workbook() { return workbook_; }
  // The text of the cell at (row, column) of the workbook's active sheet;
  // empty when no workbook is open, the row number is below 1, the cell
  // holds no text or it cannot be read. A missing text is no error and is
  // never said.
  QString headerText(std::int32_t row, std::int32_t column) const;

  // -- The run ------------------------------------------------------------
  // Opens the channel, prepares the script, places the cursor and starts
  // ticking. False when refused; the reason has been said. An active sheet
  // that holds no cells (a chart sheet) refuses first, with nothing touched.
  bool start();
  bool startRefusedForSheet() const { return startRefusedForSheet_; }
  // One tick of the run: the interpreter's step, publishing, progress and
  // the minute's background save. The session's own timer calls it every
  // 10 ms while a run is loaded; tests call it by hand.
  void tick();
  // Next: a paused script goes on.
  void next();
  // Ends the run (End, the run window closed, a signal to the headless
  // runner): a row SET has written is completed, the channel closed, every
  // row handed to the journal and the file brought up to date.
  void end();
  // The interval of the session's timer; 0 stops it (the caller ticks).
  void setTickInterval(int ms);

  RunState state() const { return state_; }
  // Between start and end.
  bool runLoaded() const { return runLoaded_; }
  // Acquiring: start set it, and the script's end, a full sheet, a lost
  // journal and end clear it.
  bool running() const { return runFlag_.active(); }
  bool pausedForNext() const { return interpreter_.pausedForNext(); }
  const script::Interpreter& interpreter() const { return interpreter_; }
  // The script of the run, as Start prepared it.
  const script::Script& script() const { return script_; }
  const CommLog& log() const { return log_; }
  const RunProgress& progress() const { return progress_; }
  // The run ended because the sheet has no row left (and, with full-sheet
  // continuing, no sheet could be added).
  bool sheetFull() const { return sheetFull_; }
  // The run stopped because no journal could be written anywhere.
  bool journalLost() const { return journalLost_; }
  // The last close left rows only in the journal.
  bool rowsLeftInJournal() const { return rowsLeftInJournal_; }
  MqttPublishing& publishing() { return publishing_; }
  // The alarms of the run: on while the workbook has rules in kestrune.conf,
  // read at each Start.
  bool alarmsOn() const { return alarms_.has_value(); }
  int activeAlarms() const { return alarms_ ? alarms_->activeCount() : 0; }
  // The run's alarm rules; null while alarms are off.
  const alarm::AlarmRules* alarmRules() const { return alarms_ ? &alarms_->rules() : nullptr; }
  // The run ended because an alarm whose rule ends the run was raised.
  bool endedByAlarm() const { return endedByAlarm_; }
  // The last run's first row (0 until a run has taken one) and how many
  // values the last row taken held (0 before any): where the alarm settings
  // look for the run's columns and their headers.
  std::int32_t lastRunFirstRow() const { return firstRow_; }
  int lastRowValueCount() const { return lastRowValues_; }
  // The run record (record=on): where it is, and whether this run writes it.
  QString recordPath() const { return recordPathFor(workbookPath_); }
  bool recording() const { return record_.isOpen(); }
  // Another consumer of each completed row, after MQTT; it must outlive the session.
  void addRowConsumer(RowConsumer* consumer) { extraConsumers_.push_back(consumer); }

signals:
  void stateChanged(kestrune::app::RunState state);
  // A message for the user, with its icon and what says more (may be empty).
  void message(const QString& text, kestrune::MessageIcon icon, const QString& informative);
  // A run began (the run window loads and shows) and ended (it closes).
  void runStarted();
  void runEnded();
  // The script's position and state (the run window's message label).
  void scriptMessage(const QString& text);
  // The run window's error label: an error, or good news in its place.
  void errorText(const QString& text);
  void goodNews(const QString& text);
  // The wall clock stepped by `stepMs` (positive: forward) since the run's
  // last row (or its start), as noticed at a row's end; `wallNow` is the
  // wall clock then. Said before that row is taken.
  void clockStepped(qint64 stepMs, const QDateTime& wallNow);
  // A line appended to the communication log; `text` is the whole log.
  void logAppended(const QString& line, const QString& text);
  // A PAU step waits for Next (true), or goes on (false).
  void nextWanted(bool wanted);
  // The acquisition number the next row will carry.
  void acquisitionNumberChanged(const QString& number);
  void rowAcquired(const kestrune::AcquiredRow& row);
  // An alarm was raised or cleared: the event, its line (alarmLine) and the
  // alarms raised after it.
  void alarmChanged(const kestrune::alarm::AlarmEvent& event, const QString& line, int active);
  // How far the run has come; when a row is done and once a second.
  void progressChanged(const kestrune::app::RunProgress& progress);
  // Publishing to the MQTT broker changed state; at start and when it changed.
  void publishingChanged(const kestrune::app::PublishingStatus& status);
  // Acquiring stopped on its own (the script's end, a full sheet, a lost
  // journal); the run is still loaded until end().
  void acquiringStopped();
  // The script ran to its end: a summary for someone not watching.
  void scriptFinishedSummary(const QString& summary);
  // The start cell boxes follow the cursor.
  void startColumnShown(const QString& letters);
  void startRowShown(const QString& row);

private:
  // RunView
  void setMessage(const QString& text) override;
  void showNextButton() override;
  void termAppend(const QString& line, int channel) override;
  // A line of the session's own, or one already tagged with its channel.
  void termAppend(const QString& line);
  std::int32_t acquisitionNumber() const override { return settings_.conditions.cursor.acquisitionNo; }
  void writeValue(std::int16_t offset, const sheet::CellValue& value) override;
  void rowCompleted(const std::vector<sheet::CellValue>& cells) override;
  void scriptFinished() override;
  // The error label as one channel's reception writes it: with several
  // channels in use, its notices (the device lost or back) name the channel.
  class ChannelLabel final : public serial::ErrorLabel {
  public:
    ChannelLabel(AcquisitionSession& session, int channel) : session_(session), channel_(channel) {}
    void setErrorText(const QString& text) override { session_.setErrorText(session_.channelText(channel_, text)); }
    void setGoodNewsText(const QString& text) override {
      session_.setGoodNewsText(session_.channelText(channel_, text));
    }
    void logNotice(const QString& text) override { session_.termAppend(text, channel_); }

  private:
    AcquisitionSession& session_;
    int channel_;
  };
  // `text` as said of `channel`: prefixed "CHn " while several channels are in use.
  QString channelText(int channel, const QString& text) const;
  // ErrorLabel
  void setErrorText(const QString& text) override;
  void setGoodNewsText(const QString& text) override;
  void logNotice(const QString& text) override;

  class Messages final : public MessageBoxes {
  public:
    explicit Messages(AcquisitionSession& session) : session_(session) {}
    void show(const QString& text, MessageIcon icon, const QString& informative) override;

  private:
    AcquisitionSession& session_;
  };
  struct Message {
    QString text;
    MessageIcon icon;
    QString informative;
  };
  void say(const QString& text, MessageIcon icon = MessageIcon::None, const QString& informative = {});
  void setState(RunState state);
  void sayDeferred();

  // The conditions the interpreter keeps from a start.
  script::RunSettings runSettings() const;
  // Compares the wall clock with the monotonic one since the last row; a
  // step goes into the log, the run record and clockStepped().
  void checkClockStep();
  // The wall clock jumped by `stepMs` during the run: a note in the run record.
  void noteClockStep(qint64 stepMs, const QDateTime& wallNow);
  AcquiredRow buildRow(const std::vector<sheet::CellValue>& cells) const;
  void takeRow(const AcquiredRow& row);
  // Reads the workbook's alarm rules for a Start; false (said) when they cannot be used.
  bool loadAlarms();
  // Once the run is on: the alarms of a run a crash interrupted go on as they
  // were, first with the rows it wrote that they had not taken.
  void beginAlarms();
  // What each alarm event does: the cell's mark, the log, MQTT, the signal;
  // `row` is the row that caused them (none for silence).
  void takeAlarms(const std::vector<alarm::AlarmEvent>& events, const AcquiredRow* row);
  QString alarmHeader(int column);
  bool activeSheetTakesCells();
  QString activeSheetName();
  // Opens a channel's port for a run; a port that stays closed is said, naming its number.
  bool openChannel(int channel);
  // Closes every channel's port that is open.
  void closeChannels();
  void loadRun();
  std::vector<RunProgress::Channel> channelStates();
  void updateChannels();
  void updateProgress(bool force);
  void updatePublishing(bool force);
  void updateDropped();
  // `reason`: why no sheet could be added to go on in; empty for a run
  // that ends at a full sheet as it was set to.
  void endAtSheetEnd(const QString& reason = {});
  void continueInSheet(const QString& name);
  void endForLostJournal(const QString& text);
  void workbookLost();
  void rowsRecovered(int rows, int damagedLines, const QString& keptAs);
  // Completed rows go to MQTT once the journal has them on the disk; `all`:
  // the journal will not make them durable any more (lost, or closed).
  void publishDurableRows(bool all);
  // The run record: a run left without end is ended (with the journal's
  // rows it lacks) when the workbook opens; a run begins and ends with it.
  void repairRecord();
  void beginRecord();
  QJsonObject recordHeader();
  // A write the record failed: said once, and the run goes on without it.
  void recordFailed(const LogStatus& status);

  settings::SettingsFolder folder_;
  serial::PortMap portMap_;
  Clock& clock_;
  Messages messages_{*this};
  std::vector<Message> deferred_;
  serial::Channels channels_;
  std::vector<std::unique_ptr<ChannelLabel>> channelLabels_;
  serial::Reception reception_;
  bool receiving_ = false;  // the run window's error label shows reception's errors
  settings::Settings settings_;
  // setup.dat as read: written back with only what changed.
  settings::SetupRecord setupFile_;
  script::Script script_;
  script::RunFlag runFlag_;
  QString workbookPath_;
  sheet::WorkbookConnection workbook_;
  script::Interpreter interpreter_;
  CommLog log_;
  MqttPublishing publishing_;
  RunOptions runOptions_;
  RunRecord record_;
  std::vector<RowConsumer*> extraConsumers_;
  QTimer timer_;

  ClockStepWatch clockSteps_;
  std::int32_t lastTick_ = 0;
  std::int32_t lastSaveTick_ = 0;
  static constexpr std::int32_t SaveIntervalMs = 60000;
  RunProgress progress_;
  PublishingStatus publishingShown_;
  std::pair<std::uint64_t, std::uint64_t> droppedShown_;
  struct Unpublished {
    int journalRows;  // the journal's rows once this row is in
    AcquiredRow row;
  };
  std::deque<Unpublished> unpublished_;
  // Rows the workbook holds from this run, once it stopped taking them.
  std::optional<std::int32_t> rowsInWorkbook_;
  std::uint64_t rowsCompleted_ = 0;
  QString runSheet_;
  QString lostText_;
  RunState state_ = RunState::Idle;
  bool ticking_ = false;
  bool runLoaded_ = false;
  bool startRefusedForSheet_ = false;
  bool sheetFull_ = false;
  bool journalLost_ = false;
  bool rowsLeftInJournal_ = false;
  std::optional<alarm::AlarmMonitor> alarms_;
  std::int32_t firstRow_ = 0;            // the run's first row, below its headers
  int lastRowValues_ = 0;                // values in the last row taken
  std::map<int, QString> alarmHeaders_;  // by column, read at the column's first alarm
  bool endForAlarm_ = false;             // an alarm asked to end the run after this tick
  bool endedByAlarm_ = false;
};

}  // namespace kestrune::app
