#include "app/alarm_dialog.h"

#include "core/alarm_rules.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace kestrune::app {

namespace {

// The table's columns.
enum TableColumn { ColLetters, ColHeader, ColHigh, ColLow, ColStep, ColMargin, ColEnd, ColCount };

QTableWidgetItem* fixedItem(const QString& text) {
  auto* item = new QTableWidgetItem(text);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
  return item;
}

}  // namespace

AlarmDialog::AlarmDialog(AlarmDialogSource source, QWidget* parent) : QDialog(parent), source_(std::move(source)) {
  setWindowTitle(CapAlarmDialog);
  setObjectName(QStringLiteral("AlarmDialog"));
  auto* layout = new QVBoxLayout(this);
  auto* book = new QLabel(source_.workbook, this);
  book->setObjectName(QStringLiteral("LabelAlarmWorkbook"));
  layout->addWidget(book);
  if (source_.runOn) {
    auto* running = new QLabel(MsgAlarmNextStart, this);
    running->setObjectName(QStringLiteral("LabelAlarmNextStart"));
    running->setWordWrap(true);
    layout->addWidget(running);
  }

  table_ = new QTableWidget(0, ColCount, this);
  table_->setObjectName(QStringLiteral("TableAlarm"));
  table_->setHorizontalHeaderLabels(
      {CapAlarmColumn, CapAlarmHeader, CapAlarmHigh, CapAlarmLow, CapAlarmStep, CapAlarmMargin, CapAlarmEnd});
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->horizontalHeader()->setSectionResizeMode(ColHeader, QHeaderView::Stretch);
  table_->setMinimumWidth(table_->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 48);
  layout->addWidget(table_);

  auto* add = new QHBoxLayout;
  newColumn_ = new QLineEdit(this);
  newColumn_->setObjectName(QStringLiteral("TextAlarmColumn"));
  newColumn_->setMaxLength(2);
  newColumn_->setMaximumWidth(newColumn_->fontMetrics().horizontalAdvance(QLatin1Char('M')) * 5);
  auto* addButton = new QPushButton(CapAlarmAddColumn, this);
  addButton->setObjectName(QStringLiteral("CommandAlarmAddColumn"));
  addButton->setAutoDefault(false);
  connect(addButton, &QPushButton::clicked, this, [this] {
    if (addColumn(newColumn_->text())) newColumn_->clear();
  });
  add->addWidget(newColumn_);
  add->addWidget(addButton);
  add->addStretch();
  layout->addLayout(add);

  auto* form = new QFormLayout;
  silence_ = new QLineEdit(this);
  silence_->setObjectName(QStringLiteral("TextAlarmSilence"));
  form->addRow(CapAlarmSilence, silence_);
  layout->addLayout(form);
  auto* hint = new QLabel(MsgAlarmHint, this);
  hint->setWordWrap(true);
  layout->addWidget(hint);
  error_ = new QLabel(this);
  error_->setObjectName(QStringLiteral("LabelAlarmError"));
  error_->setStyleSheet(QStringLiteral("color: red"));
  error_->setWordWrap(true);
  layout->addWidget(error_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &AlarmDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &AlarmDialog::reject);
  layout->addWidget(buttons);

  // A section that cannot be read shows empty boxes and says why; OK then
  // tries the file again.
  const Result<conf::Values> section = conf::readWorkbookConf(source_.readPath, source_.workbook);
  if (!section) error_->setText(section.description());
  const AlarmTableText text =
      alarmTable(source_.firstColumn, source_.columnCount, section ? section.value() : conf::Values());
  for (const AlarmRowText& row : text.rows) addRow(row);
  silence_->setText(text.silence);
}

void AlarmDialog::addRow(const AlarmRowText& row) {
  int at = 0;
  while (at < table_->rowCount() && alarm::columnNumber(table_->item(at, ColLetters)->text()).value_or(0) < row.column)
    ++at;
  table_->insertRow(at);
  table_->setItem(at, ColLetters, fixedItem(alarm::columnLetters(row.column)));
  table_->setItem(at, ColHeader, fixedItem(source_.header ? source_.header(row.column) : QString()));
  table_->setItem(at, ColHigh, new QTableWidgetItem(row.high));
  table_->setItem(at, ColLow, new QTableWidgetItem(row.low));
  table_->setItem(at, ColStep, new QTableWidgetItem(row.step));
  table_->setItem(at, ColMargin, new QTableWidgetItem(row.margin));
  auto* end = new QTableWidgetItem;
  end->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
  end->setCheckState(row.endsRun ? Qt::Checked : Qt::Unchecked);
  table_->setItem(at, ColEnd, end);
}

bool AlarmDialog::addColumn(const QString& letters) {
  const std::optional<int> column = alarm::columnNumber(letters.trimmed().toUpper());
  if (!column) {
    error_->setText(MsgAlarmBadColumn.arg(letters));
    return false;
  }
  for (const AlarmRowText& row : tableText().rows)
    if (row.column == *column) return true;
  addRow(AlarmRowText{.column = *column});
  return true;
}

AlarmTableText AlarmDialog::tableText() const {
  AlarmTableText text;
  for (int r = 0; r < table_->rowCount(); ++r) {
    text.rows.push_back({.column = alarm::columnNumber(table_->item(r, ColLetters)->text()).value_or(0),
                         .high = table_->item(r, ColHigh)->text(),
                         .low = table_->item(r, ColLow)->text(),
                         .step = table_->item(r, ColStep)->text(),
                         .margin = table_->item(r, ColMargin)->text(),
                         .endsRun = table_->item(r, ColEnd)->checkState() == Qt::Checked});
  }
  text.silence = silence_->text();
  return text;
}

void AlarmDialog::accept() {
  // Read again at OK: only the alarm keys change, every other line stays as
  // the file holds it now.
  const Result<conf::Values> current = conf::readWorkbookConf(source_.readPath, source_.workbook);
  if (!current) {
    error_->setText(current.description());
    return;
  }
  const Result<conf::Changes> changes = alarmTableChanges(tableText(), *current);
  if (!changes) {
    error_->setText(changes.description());
    return;
  }
  conf::Values values;
  for (const auto& [key, value] : *changes) values.insert(key, value);
  if (const Status saved = conf::writeWorkbookConf(source_.readPath, source_.writePath, source_.workbook, values);
      !saved) {
    error_->setText(saved.description());
    return;
  }
  error_->clear();
  QDialog::accept();
}

}  // namespace kestrune::app
