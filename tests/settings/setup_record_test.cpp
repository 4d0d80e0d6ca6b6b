#include "settings/setup_file.h"
#include "settings/setup_record.h"

#include "fakes/shown.h"
#include "fakes/recording_message_boxes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <optional>
#include <variant>

#include <sys/stat.h>

namespace kestrune::settings {
namespace {

using testing::RecordingMessageBoxes;

QByteArray hex(const char* h) { return QByteArray::fromHex(h); }

SetupRecord workedExample() {
  SetupRecord r;
  r.setStampMode(StampMode::DateAndTime);
  r.setScriptFromFile(true);
  r.setNumberingOn(true);
  r.acquisitionNo = 1;
  r.setStartAtCell(true);
  r.startCol = "B";
  r.startRow = 2;
  r.startColNo = 2;
  r.acquireTimeMs = 60 * 60 * 1000;
  r.measureCount = 60;
  r.commSettings[0] = "9600,n,8,1";
  r.commPort[0] = 1;
  return r;
}

// The 93 bytes of the example record, written out independently of the encoder.
const QByteArray WorkedExampleBytes =
    hex("0000"
        "0300"
        "ffff"
        "ffff"
        "01000000"
        "ffff"
        "010042"
        "02000000"
        "0200"
        "0000"
        "80ee3600"
        "3c000000"
        "0a00"
        "393630302c6e2c382c31"
        "0000000000000000000000000000"
        "0100"
        "0000000000000000000000000000"
        "0000000000000000"
        "0000000000000000"
        "0000");

constexpr FlowControl Flows[] = {FlowControl::None, FlowControl::XonXoff, FlowControl::RtsCts,
                                 FlowControl::RtsCtsXonXoff};

SetupRecord everyFieldSet() {
  SetupRecord r = workedExample();
  r.reservedHead = -2;
  r.reservedMid = 0x1234;
  r.reservedTail = "tail bytes \x01\xff";
  for (int i = 1; i < SlotCount; ++i) {
    r.commSettings[static_cast<std::size_t>(i)] = QByteArray::number(i) + "200,e,7,2";
    r.commPort[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i + 1);
    r.setHandshaking(static_cast<std::size_t>(i), Flows[i % 4]);
  }
  r.acquisitionNo = -7;
  r.startRow = 65536;
  return r;
}

TEST(SetupRecordTest, WorkedExampleEncodesToItsNinetyThreeBytes) {
  ASSERT_EQ(WorkedExampleBytes.size(), 93);
  const Result<QByteArray> bytes = encodeSetupRecord(workedExample());
  ASSERT_TRUE(bytes.ok());
  ASSERT_EQ(bytes->size(), 2048);
  EXPECT_EQ(bytes->first(93).toHex(), WorkedExampleBytes.toHex());
  EXPECT_EQ(bytes->sliced(93), QByteArray(2048 - 93, '\0'));
}

TEST(SetupRecordTest, WorkedExampleDecodesFieldForField) {
  SetupRecord r;
  ASSERT_TRUE(decodeSetupRecord(WorkedExampleBytes, r).ok());
  EXPECT_EQ(r, workedExample());
}

TEST(SetupRecordTest, RoundTripKeepsReservedFieldsAndAllSlots) {
  const SetupRecord original = everyFieldSet();
  const Result<QByteArray> bytes = encodeSetupRecord(original);
  ASSERT_TRUE(bytes.ok());
  SetupRecord back;
  ASSERT_TRUE(decodeSetupRecord(*bytes, back).ok());
  EXPECT_EQ(back, original);
}

TEST(SetupRecordTest, EmptyStartColumnTakesOnlyItsLength) {
  SetupRecord r = workedExample();
  r.startCol.clear();
  const Result<QByteArray> bytes = encodeSetupRecord(r);
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes->sliced(14, 2), hex("0000"));
  EXPECT_EQ(bytes->sliced(16, 4), hex("02000000"));  // startRow follows at once
}

TEST(SetupRecordTest, FieldsThatDoNotFitIn2048BytesCannotBeEncoded) {
  SetupRecord r;
  r.reservedTail = QByteArray(2048 - 82, 'x');  // 80 bytes of other fields and 2 length bytes
  EXPECT_TRUE(encodeSetupRecord(r).ok());
  r.reservedTail.append('x');
  const Result<QByteArray> tooLong = encodeSetupRecord(r);
  ASSERT_FALSE(tooLong.ok());
  EXPECT_TRUE(tooLong.error().is(SetupError::DoesNotFit));
}

struct MalformedCase {
  const char* name;
  QByteArray data;
  std::int32_t acquisitionNo;  // what a field before the break holds afterwards
  QByteArray startCol;
};

class MalformedTest : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedTest, StopsAtTheBrokenFieldAndKeepsWhatWasRead) {
  const MalformedCase& c = GetParam();
  SetupRecord r;
  r.startCol = "ZZ";
  r.measureCount = 99;
  const Status decoded = decodeSetupRecord(c.data, r);
  ASSERT_FALSE(decoded.ok());
  EXPECT_TRUE(decoded.error().is(SetupError::Truncated));
  EXPECT_EQ(r.acquisitionNo, c.acquisitionNo);
  EXPECT_EQ(r.startCol, c.startCol);
  EXPECT_EQ(r.measureCount, 99);  // never reached
}

QByteArray withStartColLength(std::uint16_t length) {
  QByteArray d = WorkedExampleBytes;
  d[14] = static_cast<char>(length & 0xFF);
  d[15] = static_cast<char>(length >> 8);
  return d;
}

INSTANTIATE_TEST_SUITE_P(Cases, MalformedTest,
                         ::testing::Values(MalformedCase{"Empty", QByteArray(), 0, "ZZ"},
                                           MalformedCase{"CutInsideAcquisitionNo", WorkedExampleBytes.first(10), 0,
                                                         "ZZ"},
                                           MalformedCase{"CutInsideStartCol", WorkedExampleBytes.first(16), 1, "ZZ"},
                                           MalformedCase{"StringLongerThanTheFile", withStartColLength(200), 1, "ZZ"},
                                           MalformedCase{"StringRunningPast2048",
                                                         withStartColLength(0xFFFF) + QByteArray(4000, 'A'), 1, "ZZ"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(SetupRecordTest, ShortFileHoldingEveryFieldIsAccepted) {
  SetupRecord r;
  EXPECT_TRUE(decodeSetupRecord(WorkedExampleBytes, r).ok());
}

TEST(SetupRecordTest, StringEndingExactlyAtTheRecordEndIsRead) {
  SetupRecord original;
  original.reservedTail = QByteArray(2048 - 82, 't');
  const Result<QByteArray> bytes = encodeSetupRecord(original);
  ASSERT_TRUE(bytes.ok());
  SetupRecord back;
  ASSERT_TRUE(decodeSetupRecord(*bytes + QByteArray("after"), back).ok());
  EXPECT_EQ(back, original);
}

// The typed fields as a hand-made file may hold them: each reads as its
// readers have always taken it, is written back unchanged while untouched,
// and is written in the record's own form once set.
enum class Field { StampMode, ScriptFromFile, NumberingOn, StartAtCell, FirstSlotFlow, LastSlotFlow };
using TypedValue = std::variant<bool, StampMode, std::optional<FlowControl>>;

struct StoredValueCase {
  Field field;
  std::int16_t stored;   // in the file
  TypedValue reads;      // in memory
  std::int16_t written;  // after the field is set to the value it reads as
};

// Where each field lies in the worked example's bytes.
qsizetype offsetOf(Field field) {
  switch (field) {
    case Field::StampMode:
      return 2;
    case Field::ScriptFromFile:
      return 4;
    case Field::NumberingOn:
      return 6;
    case Field::StartAtCell:
      return 12;
    case Field::FirstSlotFlow:
      return 75;
    case Field::LastSlotFlow:
      return 89;
  }
  return -1;
}

const char* nameOf(Field field) {
  switch (field) {
    case Field::StampMode:
      return "StampMode";
    case Field::ScriptFromFile:
      return "ScriptFromFile";
    case Field::NumberingOn:
      return "NumberingOn";
    case Field::StartAtCell:
      return "StartAtCell";
    case Field::FirstSlotFlow:
      return "FirstSlotFlow";
    case Field::LastSlotFlow:
      return "LastSlotFlow";
  }
  return "";
}

TypedValue typedValue(const SetupRecord& r, Field field) {
  switch (field) {
    case Field::StampMode:
      return r.stampMode();
    case Field::ScriptFromFile:
      return r.scriptFromFile();
    case Field::NumberingOn:
      return r.numberingOn();
    case Field::StartAtCell:
      return r.startAtCell();
    case Field::FirstSlotFlow:
      return r.handshaking(0);
    case Field::LastSlotFlow:
      return r.handshaking(SlotCount - 1);
  }
  return false;
}

// Sets the field to `value`; a slot that names no flow control gets none.
void setTypedValue(SetupRecord& r, Field field, const TypedValue& value) {
  switch (field) {
    case Field::StampMode:
      r.setStampMode(std::get<StampMode>(value));
      break;
    case Field::ScriptFromFile:
      r.setScriptFromFile(std::get<bool>(value));
      break;
    case Field::NumberingOn:
      r.setNumberingOn(std::get<bool>(value));
      break;
    case Field::StartAtCell:
      r.setStartAtCell(std::get<bool>(value));
      break;
    case Field::FirstSlotFlow:
    case Field::LastSlotFlow: {
      const FlowControl flow = std::get<std::optional<FlowControl>>(value).value_or(FlowControl::None);
      r.setHandshaking(field == Field::FirstSlotFlow ? 0 : SlotCount - 1, flow);
      break;
    }
  }
}

QByteArray withInt16At(QByteArray bytes, qsizetype offset, std::int16_t value) {
  qToLittleEndian(value, bytes.data() + offset);
  return bytes;
}

std::int16_t int16At(const QByteArray& bytes, qsizetype offset) {
  return static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes.at(offset)) |
                                   static_cast<std::uint8_t>(bytes.at(offset + 1)) << 8);
}

void PrintTo(const StoredValueCase& c, std::ostream* os) { *os << nameOf(c.field) << " stored as " << c.stored; }

class StoredValueTest : public ::testing::TestWithParam<StoredValueCase> {};

TEST_P(StoredValueTest, ReadsAsTakenWrittenBackUntouchedAndInOwnFormOnceSet) {
  const StoredValueCase& c = GetParam();
  const qsizetype offset = offsetOf(c.field);
  const QByteArray file = withInt16At(WorkedExampleBytes, offset, c.stored);
  SetupRecord r;
  ASSERT_TRUE(decodeSetupRecord(file, r).ok());
  EXPECT_EQ(typedValue(r, c.field), c.reads);

  const Result<QByteArray> untouched = encodeSetupRecord(r);
  ASSERT_TRUE(untouched.ok());
  EXPECT_EQ(untouched->first(file.size()).toHex(), file.toHex());

  setTypedValue(r, c.field, c.reads);
  const Result<QByteArray> set = encodeSetupRecord(r);
  ASSERT_TRUE(set.ok());
  EXPECT_EQ(int16At(*set, offset), c.written);
}

constexpr std::optional<FlowControl> NoFlowControl = std::nullopt;

INSTANTIATE_TEST_SUITE_P(
    Cases, StoredValueTest,
    ::testing::Values(
        // Stamp modes 1 to 3 are their own; anything else stamps nothing.
        StoredValueCase{Field::StampMode, 0, StampMode::None, 0},
        StoredValueCase{Field::StampMode, 1, StampMode::Date, 1},
        StoredValueCase{Field::StampMode, 2, StampMode::Time, 2},
        StoredValueCase{Field::StampMode, 3, StampMode::DateAndTime, 3},
        StoredValueCase{Field::StampMode, 4, StampMode::None, 0},
        StoredValueCase{Field::StampMode, 7, StampMode::None, 0},
        StoredValueCase{Field::StampMode, -1, StampMode::None, 0},
        StoredValueCase{Field::StampMode, 32767, StampMode::None, 0},
        // Any Boolean but 0 is true for these two.
        StoredValueCase{Field::ScriptFromFile, 0, false, 0}, StoredValueCase{Field::ScriptFromFile, -1, true, -1},
        StoredValueCase{Field::ScriptFromFile, 1, true, -1}, StoredValueCase{Field::ScriptFromFile, 5, true, -1},
        StoredValueCase{Field::ScriptFromFile, -32768, true, -1}, StoredValueCase{Field::NumberingOn, 0, false, 0},
        StoredValueCase{Field::NumberingOn, -1, true, -1}, StoredValueCase{Field::NumberingOn, 1, true, -1},
        StoredValueCase{Field::NumberingOn, 5, true, -1}, StoredValueCase{Field::NumberingOn, -2, true, -1},
        // Only -1 is true for the start cell.
        StoredValueCase{Field::StartAtCell, -1, true, -1}, StoredValueCase{Field::StartAtCell, 0, false, 0},
        StoredValueCase{Field::StartAtCell, 1, false, 0}, StoredValueCase{Field::StartAtCell, 5, false, 0},
        StoredValueCase{Field::StartAtCell, -2, false, 0}, StoredValueCase{Field::StartAtCell, 32767, false, 0},
        // Flow control 0 to 3 in any slot; anything else names none.
        StoredValueCase{Field::FirstSlotFlow, 0, FlowControl::None, 0},
        StoredValueCase{Field::FirstSlotFlow, 1, FlowControl::XonXoff, 1},
        StoredValueCase{Field::FirstSlotFlow, 2, FlowControl::RtsCts, 2},
        StoredValueCase{Field::FirstSlotFlow, 3, FlowControl::RtsCtsXonXoff, 3},
        StoredValueCase{Field::FirstSlotFlow, 4, NoFlowControl, 0},
        StoredValueCase{Field::FirstSlotFlow, 7, NoFlowControl, 0},
        StoredValueCase{Field::FirstSlotFlow, -1, NoFlowControl, 0},
        StoredValueCase{Field::LastSlotFlow, 2, FlowControl::RtsCts, 2},
        StoredValueCase{Field::LastSlotFlow, 9, NoFlowControl, 0}),
    [](const auto& p) {
      const std::int16_t v = p.param.stored;
      return std::string(nameOf(p.param.field)) + (v < 0 ? "_minus" : "_") + std::to_string(v < 0 ? -v : v);
    });

TEST(SetupRecordTest, AHandMadeValueIsDroppedWhenItsFieldIsSetAndOnlyThen) {
  QByteArray file = withInt16At(WorkedExampleBytes, offsetOf(Field::NumberingOn), 5);
  file = withInt16At(file, offsetOf(Field::StartAtCell), 1);
  SetupRecord r;
  ASSERT_TRUE(decodeSetupRecord(file, r).ok());
  r.setNumberingOn(false);
  r.setNumberingOn(true);  // back to what it read as: still set
  const QByteArray bytes = *encodeSetupRecord(r);
  EXPECT_EQ(int16At(bytes, offsetOf(Field::NumberingOn)), -1);
  EXPECT_EQ(int16At(bytes, offsetOf(Field::StartAtCell)), 1);  // untouched
}

// Loading and saving the file.
class SetupFileTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  QString path() const { return dir.filePath(SetupFileName); }
  void writeFile(const QByteArray& data) {
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
  }
  QByteArray readFile() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QTemporaryDir dir;
  RecordingMessageBoxes boxes;
};

TEST_F(SetupFileTest, MissingFileChangesNothingAndSaysNothing) {
  SetupRecord r;
  EXPECT_EQ(testing::shown(loadSetup(r, path()), boxes), testing::SetupSeen::Missing);
  EXPECT_EQ(r, SetupRecord());
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SetupFileTest, TruncatedFileShowsLoadMessageAndKeepsReadFields) {
  writeFile(WorkedExampleBytes.first(30));
  SetupRecord r;
  EXPECT_EQ(testing::shown(loadSetup(r, path()), boxes), testing::SetupSeen::Failed);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の読込に失敗しました")});
  EXPECT_EQ(r.stampMode(), StampMode::DateAndTime);
  EXPECT_EQ(r.startRow, 2);
  EXPECT_EQ(r.measureCount, 0);
}

TEST_F(SetupFileTest, UnreadableFileShowsLoadMessage) {
  ASSERT_TRUE(QDir(dir.path()).mkdir(SetupFileName));  // a folder where the file should be
  SetupRecord r;
  EXPECT_EQ(testing::shown(loadSetup(r, path()), boxes), testing::SetupSeen::Failed);
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("設定条件の読込に失敗しました"));
}

TEST_F(SetupFileTest, SaveWritesTheRecordAsItIsAndLoadGivesEverythingBack) {
  const SetupRecord r = everyFieldSet();
  EXPECT_TRUE(testing::shown(saveSetup(r, path()), boxes));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(readFile().size(), 2048);
  EXPECT_EQ(readFile(), *encodeSetupRecord(r));

  SetupRecord back;
  EXPECT_EQ(testing::shown(loadSetup(back, path()), boxes), testing::SetupSeen::Loaded);
  EXPECT_EQ(back, r);
  EXPECT_EQ(back.commSettings[3], "3200,e,7,2");
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SetupFileTest, LoadingAndSavingAHandMadeFileKeepsItsBytes) {
  QByteArray file = *encodeSetupRecord(workedExample());
  for (const auto& [field, value] : {std::pair<Field, std::int16_t>{Field::StampMode, 7},
                                     {Field::ScriptFromFile, 5},
                                     {Field::NumberingOn, -2},
                                     {Field::StartAtCell, 1},
                                     {Field::FirstSlotFlow, 4},
                                     {Field::LastSlotFlow, -3}})
    file = withInt16At(file, offsetOf(field), value);
  writeFile(file);
  SetupRecord r;
  ASSERT_EQ(testing::shown(loadSetup(r, path()), boxes), testing::SetupSeen::Loaded);
  ASSERT_TRUE(testing::shown(saveSetup(r, path()), boxes));
  EXPECT_EQ(readFile().toHex(), file.toHex());
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SetupFileTest, SavingKeepsBytesAfterTheFirstRecord) {
  QByteArray old(2048, 'o');
  old += QByteArray("second record follows");
  writeFile(old);
  SetupRecord r = workedExample();
  EXPECT_TRUE(testing::shown(saveSetup(r, path()), boxes));
  const QByteArray now = readFile();
  ASSERT_EQ(now.size(), old.size());
  EXPECT_EQ(now.first(93), WorkedExampleBytes);
  EXPECT_EQ(now.sliced(2048), QByteArray("second record follows"));
}

TEST_F(SetupFileTest, ShorterOldFileIsReplacedByOneRecord) {
  writeFile(QByteArray(100, 'x'));
  SetupRecord r;
  EXPECT_TRUE(testing::shown(saveSetup(r, path()), boxes));
  EXPECT_EQ(readFile().size(), 2048);
}

TEST_F(SetupFileTest, RecordTooLargeShowsSaveMessageAndOldFileStays) {
  const QByteArray old = *encodeSetupRecord(workedExample());
  writeFile(old);
  SetupRecord r;
  r.reservedTail = QByteArray(3000, 'x');
  EXPECT_FALSE(testing::shown(saveSetup(r, path()), boxes));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の保存に失敗しました")});
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::None);
  EXPECT_EQ(readFile(), old);
}

TEST_F(SetupFileTest, UnwritableLocationShowsSaveMessage) {
  // A regular file stands where the folder should be, so nothing can be created there.
  QFile blocker(dir.filePath(QStringLiteral("blocker")));
  ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  blocker.close();
  SetupRecord r;
  EXPECT_FALSE(testing::shown(saveSetup(r, dir.filePath(QStringLiteral("blocker/setup.dat"))), boxes));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の保存に失敗しました")});
}

TEST_F(SetupFileTest, SaveCreatesMissingSettingsFolder) {
  const QString nested = dir.filePath(QStringLiteral("config/kestrune/setup.dat"));
  SetupRecord r;
  EXPECT_TRUE(testing::shown(saveSetup(r, nested), boxes));
  EXPECT_TRUE(QFile::exists(nested));
}

TEST_F(SetupFileTest, SaveLeavesNoTemporaryFilesBehind) {
  SetupRecord r;
  ASSERT_TRUE(testing::shown(saveSetup(r, path()), boxes));
  ASSERT_TRUE(testing::shown(saveSetup(r, path()), boxes));
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{SetupFileName});
}

TEST_F(SetupFileTest, AFolderOrPipeNamedLikeTheFileIsRefusedWithoutWaitingAndLeftAlone) {
  for (const bool pipe : {false, true}) {
    SCOPED_TRACE(pipe ? "named pipe" : "folder");
    QFile::remove(path());
    QDir(dir.path()).rmdir(SetupFileName);
    if (pipe)
      ASSERT_EQ(::mkfifo(QFile::encodeName(path()).constData(), 0600), 0);
    else
      ASSERT_TRUE(QDir(dir.path()).mkdir(SetupFileName));
    boxes.shown.clear();
    SetupRecord r;
    EXPECT_EQ(testing::shown(loadSetup(r, path()), boxes), testing::SetupSeen::Failed);
    EXPECT_FALSE(testing::shown(saveSetup(r, path()), boxes));
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.texts(), (QStringList{QStringLiteral("設定条件の読込に失敗しました"),
                                          QStringLiteral("設定条件の保存に失敗しました")}));
    EXPECT_TRUE(boxes.shown[1].informative.contains(path()));
    const QFileInfo after(path());
    EXPECT_FALSE(after.isFile());  // never replaced by a regular file
    EXPECT_TRUE(after.exists());
  }
}

}  // namespace
}  // namespace kestrune::settings
