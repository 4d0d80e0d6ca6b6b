#include "settings/conditions_panel_widget.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include <vector>

namespace kestrune::settings {

namespace {

const QString CapPanel = QStringLiteral("データ取得条件");
const QString CapTime = QStringLiteral("ﾃﾞｰﾀ取得時間：");
const QString CapMinutes = QStringLiteral("分間");
const QString CapMinutesRange = QStringLiteral("（1～300分）");
const QString CapRows = QStringLiteral("データ測定数：(縦方向ｾﾙ数)");
const QString CapRowsUnit = QStringLiteral("行");
const QString CapRowsRange = QStringLiteral("（1～10000行）");
const QString CapStartCell = QStringLiteral("開始セル");
const QString CapFromCurrent = QStringLiteral("カレントセルから開始");
const QString CapAtCell = QStringLiteral("セルを指定する　開始セル：");
const QString CapColumn = QStringLiteral("(列)");
const QString CapRow = QStringLiteral("(行番号)");
const QString CapColumnRange = QStringLiteral("(列は A～IA)");
const QString CapScript = QStringLiteral("スクリプト");
const QString CapScriptFile = QStringLiteral("あり（ﾌｧｲﾙ記述）");
const QString CapNone = QStringLiteral("なし");
const QString CapStamp = QStringLiteral("日時の挿入");
const QString CapBoth = QStringLiteral("両方つける");
const QString CapTimeOnly = QStringLiteral("時分秒をつける");
const QString CapDateOnly = QStringLiteral("年月日をつける");
const QString CapNoStamp = QStringLiteral("日時をつけない");
const QString CapNumber = QStringLiteral("取得番号");
const QString CapNumbered = QStringLiteral("取得番号を付ける　取得番号：");
const QString CapFrom = QStringLiteral("から");
const QString CapNotNumbered = QStringLiteral("取得番号を付けない");
const QString CapOk = QStringLiteral("OK");
const QString CapCancel = QStringLiteral("ｷｬﾝｾﾙ");

QRadioButton* option(QButtonGroup* group, int index, const QString& caption, const QString& name, QWidget* parent) {
  auto* b = new QRadioButton(caption, parent);
  b->setObjectName(name);
  group->addButton(b, index);
  return b;
}

}  // namespace

ConditionsPanelWidget::ConditionsPanelWidget(ConditionsHolder& holder, QWidget* parent)
    : QGroupBox(CapPanel, parent), logic_(holder, *this) {
  setObjectName(QStringLiteral("FrameCell"));
  const char* names[] = {"TextMin", "TextRows", "TextStartCol", "TextStartRow", "TextCellNo"};
  for (std::size_t i = 0; i < boxes_.size(); ++i) {
    boxes_[i] = new QLineEdit(this);
    boxes_[i]->setObjectName(QLatin1String(names[i]));
    boxes_[i]->installEventFilter(this);
  }
  box(CondBox::StartCol)->setMaximumWidth(50);
  box(CondBox::StartRow)->setMaximumWidth(70);
  for (auto& g : groups_) {
    g = new QButtonGroup(this);
    g->setExclusive(true);
  }

  auto* layout = new QGridLayout(this);
  layout->setSpacing(4);
  layout->setContentsMargins(6, 6, 6, 6);

  // Duration and rows, each with its range hint.
  auto* amounts = new QGridLayout;
  amounts->setSpacing(4);
  amounts->addWidget(new QLabel(CapTime, this), 0, 0);
  amounts->addWidget(box(CondBox::Min), 0, 1);
  amounts->addWidget(new QLabel(CapMinutes, this), 0, 2);
  amounts->addWidget(new QLabel(CapMinutesRange, this), 0, 3);
  amounts->addWidget(new QLabel(CapRows, this), 1, 0);
  amounts->addWidget(box(CondBox::Rows), 1, 1);
  amounts->addWidget(new QLabel(CapRowsUnit, this), 1, 2);
  amounts->addWidget(new QLabel(CapRowsRange, this), 1, 3);
  box(CondBox::Min)->setMaximumWidth(60);
  box(CondBox::Rows)->setMaximumWidth(60);
  layout->addLayout(amounts, 0, 0);

  auto* cellGroup = new QGroupBox(CapStartCell, this);
  auto* cellLayout = new QGridLayout(cellGroup);
  cellLayout->setSpacing(2);
  cellLayout->setContentsMargins(6, 2, 6, 2);
  QButtonGroup* cell = group(CondOption::Cell);
  cellLayout->addWidget(option(cell, 0, CapFromCurrent, QStringLiteral("OptionCell_0"), cellGroup), 0, 0, 1, 5);
  cellLayout->addWidget(option(cell, 1, CapAtCell, QStringLiteral("OptionCell_1"), cellGroup), 1, 0);
  cellLayout->addWidget(new QLabel(CapColumn, cellGroup), 1, 1);
  cellLayout->addWidget(box(CondBox::StartCol), 1, 2);
  cellLayout->addWidget(new QLabel(CapRow, cellGroup), 1, 3);
  cellLayout->addWidget(box(CondBox::StartRow), 1, 4);
  cellLayout->addWidget(new QLabel(CapColumnRange, cellGroup), 2, 1, 1, 4);
  layout->addWidget(cellGroup, 1, 0);

  auto* numberGroup = new QGroupBox(CapNumber, this);
  auto* numberLayout = new QGridLayout(numberGroup);
  numberLayout->setSpacing(2);
  numberLayout->setContentsMargins(6, 2, 6, 2);
  QButtonGroup* num = group(CondOption::Num);
  numberLayout->addWidget(option(num, 1, CapNumbered, QStringLiteral("OptionNum_1"), numberGroup), 0, 0);
  numberLayout->addWidget(box(CondBox::CellNo), 0, 1);
  numberLayout->addWidget(new QLabel(CapFrom, numberGroup), 0, 2);
  numberLayout->addWidget(option(num, 0, CapNotNumbered, QStringLiteral("OptionNum_0"), numberGroup), 1, 0, 1, 3);
  layout->addWidget(numberGroup, 2, 0);

  auto* right = new QVBoxLayout;
  auto* scriptGroup = new QGroupBox(CapScript, this);
  auto* scriptLayout = new QHBoxLayout(scriptGroup);
  scriptLayout->setContentsMargins(6, 2, 6, 2);
  QButtonGroup* protcol = group(CondOption::Protcol);
  scriptLayout->addWidget(option(protcol, 1, CapScriptFile, QStringLiteral("OptionProtcol_1"), scriptGroup));
  scriptLayout->addWidget(option(protcol, 0, CapNone, QStringLiteral("OptionProtcol_0"), scriptGroup));
  right->addWidget(scriptGroup);

  auto* stampGroup = new QGroupBox(CapStamp, this);
  auto* stampLayout = new QVBoxLayout(stampGroup);
  stampLayout->setSpacing(2);
  stampLayout->setContentsMargins(6, 2, 6, 2);
  QButtonGroup* time = group(CondOption::Time);
  stampLayout->addWidget(option(time, 3, CapBoth, QStringLiteral("OptionTime_3"), stampGroup));
  stampLayout->addWidget(option(time, 2, CapTimeOnly, QStringLiteral("OptionTime_2"), stampGroup));
  stampLayout->addWidget(option(time, 1, CapDateOnly, QStringLiteral("OptionTime_1"), stampGroup));
  stampLayout->addWidget(option(time, 0, CapNoStamp, QStringLiteral("OptionTime_0"), stampGroup));
  right->addWidget(stampGroup);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* ok = new QPushButton(CapOk, this);
  ok->setObjectName(QStringLiteral("CommandCellOk"));
  auto* cancel = new QPushButton(CapCancel, this);
  cancel->setObjectName(QStringLiteral("CommandCellNg"));
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  right->addLayout(buttons);
  layout->addLayout(right, 0, 1, 3, 1);

  // Tab goes down the left column, then down the right one, then to the buttons.
  std::vector<QWidget*> order = {box(CondBox::Min), box(CondBox::Rows)};
  const auto add = [&order](QButtonGroup* g, std::initializer_list<int> ids) {
    for (int id : ids) order.push_back(g->button(id));
  };
  add(cell, {0, 1});
  order.push_back(box(CondBox::StartCol));
  order.push_back(box(CondBox::StartRow));
  add(num, {1});
  order.push_back(box(CondBox::CellNo));
  add(num, {0});
  add(protcol, {1, 0});
  add(time, {3, 2, 1, 0});
  order.push_back(ok);
  order.push_back(cancel);
  for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);

  connect(ok, &QPushButton::clicked, this, &ConditionsPanelWidget::okClicked);
  connect(cancel, &QPushButton::clicked, this, &ConditionsPanelWidget::cancelClicked);
  connect(cell, &QButtonGroup::idClicked, this, [this](int id) { logic_.OptionCell_Click(id); });
  connect(num, &QButtonGroup::idClicked, this, [this](int id) { logic_.OptionNum_Click(id); });
}

void ConditionsPanelWidget::showEvent(QShowEvent* event) {
  QGroupBox::showEvent(event);
  box(CondBox::Min)->setFocus(Qt::OtherFocusReason);
}

QString ConditionsPanelWidget::text(CondBox b) const { return box(b)->text(); }
void ConditionsPanelWidget::setText(CondBox b, const QString& t) { box(b)->setText(t); }
void ConditionsPanelWidget::setBoxEnabled(CondBox b, bool enabled) { box(b)->setEnabled(enabled); }
int ConditionsPanelWidget::selectedOption(CondOption g) const { return group(g)->checkedId(); }

void ConditionsPanelWidget::selectOption(CondOption g, int index) {
  if (QAbstractButton* b = group(g)->button(index)) b->setChecked(true);
}

void ConditionsPanelWidget::focusBox(CondBox b) { box(b)->setFocus(Qt::OtherFocusReason); }

bool ConditionsPanelWidget::eventFilter(QObject* watched, QEvent* event) {
  const auto it = std::find(boxes_.begin(), boxes_.end(), watched);
  if (it == boxes_.end()) return QGroupBox::eventFilter(watched, event);
  const auto which = static_cast<CondBox>(it - boxes_.begin());
  if (event->type() == QEvent::FocusOut) {
    switch (which) {
      case CondBox::Min:
        logic_.TextMin_LostFocus();
        break;
      case CondBox::Rows:
        logic_.TextRows_LostFocus();
        break;
      case CondBox::StartCol:
        logic_.TextStartCol_LostFocus();
        break;
      case CondBox::StartRow:
        logic_.TextStartRow_LostFocus();
        break;
      case CondBox::CellNo:
        logic_.TextCellNo_LostFocus();
        break;
    }
  } else if (event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      switch (which) {
        case CondBox::Min:
          logic_.TextMin_Enter();
          break;
        case CondBox::Rows:
          logic_.TextRows_Enter();
          break;
        case CondBox::StartCol:
          logic_.TextStartCol_Enter();
          break;
        case CondBox::StartRow:
          logic_.TextStartRow_Enter();
          break;
        case CondBox::CellNo:
          break;
      }
      return true;
    }
  }
  return QGroupBox::eventFilter(watched, event);
}

void ConditionsPanelWidget::keyPressEvent(QKeyEvent* event) {
  // Esc cancels and Enter confirms the panel, as in a dialog; a button that
  // has the focus takes Enter itself. (The number boxes use Enter first.)
  QPushButton* target = nullptr;
  if (event->key() == Qt::Key_Escape) {
    target = findChild<QPushButton*>(QStringLiteral("CommandCellNg"));
  } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    target = qobject_cast<QPushButton*>(focusWidget());
    if (!target) target = findChild<QPushButton*>(QStringLiteral("CommandCellOk"));
  }
  if (!target) return QGroupBox::keyPressEvent(event);
  target->click();
}

}  // namespace kestrune::settings
