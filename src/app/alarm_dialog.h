// The alarm settings dialog (条件設定 > アラームの設定...): the rules of one
// workbook's section of kestrune.conf, a row per worksheet column of the run,
// checked as `kestrune config` checks them and saved at OK. Start reads them.
#pragma once

#include "app/alarm_settings.h"

#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;
class QTableWidget;

namespace kestrune::app {

inline const QString CapAlarmDialog = QStringLiteral("アラームの設定");
inline const QString CapAlarmColumn = QStringLiteral("列");
inline const QString CapAlarmHeader = QStringLiteral("見出し");
inline const QString CapAlarmAddColumn = QStringLiteral("列を追加");
inline const QString MsgAlarmHint =
    QStringLiteral("空の欄は使いません。解除の幅は、アラームが解除されるまでに値が戻る幅です（変化幅以下）。");
inline const QString MsgAlarmNextStart =
    QStringLiteral("データ取得中です。ここでの変更は次の「データ取得開始」から使われます。");
inline const QString MsgAlarmBadColumn = QStringLiteral("列「%1」は使えません。列は A～IV です。");

// Where the dialog finds what it shows.
struct AlarmDialogSource {
  QString readPath;   // kestrune.conf as read
  QString writePath;  // and as written
  QString workbook;   // whose section is edited
  int firstColumn = 0;
  int columnCount = DefaultAlarmColumns;
  std::function<QString(int column)> header;  // the text above the run's first row; may be empty
  bool runOn = false;                         // a run is on: the changes are for the next Start
};

class AlarmDialog final : public QDialog {
  Q_OBJECT
public:
  explicit AlarmDialog(AlarmDialogSource source, QWidget* parent = nullptr);

  // Adds a row for the column of these letters (lower case taken); false,
  // said in the dialog, when they name no column.
  bool addColumn(const QString& letters);
  // What the boxes hold now.
  AlarmTableText tableText() const;
  // Checks every box; saves and closes when all are usable, else shows why.
  void accept() override;

private:
  void addRow(const AlarmRowText& row);

  AlarmDialogSource source_;
  QTableWidget* table_ = nullptr;
  QLineEdit* silence_ = nullptr;
  QLineEdit* newColumn_ = nullptr;
  QLabel* error_ = nullptr;
};

}  // namespace kestrune::app
