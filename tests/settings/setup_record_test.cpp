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

using serial::FlowControl;
using testing::RecordingMessageBoxes;

QByteArray hex(const char* h) { return QByteArray::fromHex(h); }

SetupRecord workedExample() {
  Conditions c;
  c.stamp = StampMode::DateAndTime;
  c.scriptFromFile = true;
  c.numbering = true;
  c.startAtCell = true;
  c.cursor = {QStringLiteral("B"), 2, 2, 1};
  c.acquireTimeMs = 60 * 60 * 1000;
  c.rows = 60;
  SetupRecord r;
  r.setConditions(c);
  r.setLine(0, LineSettings{});
  return r;
}

// The start column set to `length` letters: the record's one string of any length.
SetupRecord withColumnOf(SetupRecord r, qsizetype length) {
  Conditions c = r.conditions();
  c.cursor.column = QString(length, QLatin1Char('t'));
  r.setConditions(c);
  return r;
}

// Little-endian fields as setup.dat lays them out, for records the program
// would never write itself.
struct Bytes {
  Bytes& i16(std::int16_t v) {
    data.append(2, '\0');
    qToLittleEndian(v, data.data() + data.size() - 2);
    return *this;
  }
  Bytes& i32(std::int32_t v) {
    data.append(4, '\0');
    qToLittleEndian(v, data.data() + data.size() - 4);
    return *this;
  }
  Bytes& str(const QByteArray& s) {
    i16(static_cast<std::int16_t>(s.size()));
    data.append(s);
    return *this;
  }
  QByteArray data;
};

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

// Every field holding something, reserved ones and the unused slots included.
QByteArray everyFieldBytes() {
  Bytes b;
  b.i16(-2).i16(3).i16(-1).i16(-1).i32(-7).i16(-1).str("B").i32(65536).i16(2).i16(0x1234).i32(3600000).i32(60);
  for (int i = 0; i < SlotCount; ++i) b.str(QByteArray::number(i) + "200,e,7,2");
  for (int i = 0; i < SlotCount; ++i) b.i16(static_cast<std::int16_t>(i + 1));
  for (int i = 0; i < SlotCount; ++i) b.i16(static_cast<std::int16_t>(i % 4));
  b.str("tail bytes \x01\xff");
  return b.data + QByteArray(2048 - b.data.size(), '\0');
}

SetupRecord everyFieldSet() {
  SetupRecord r;
  EXPECT_TRUE(decodeSetupRecord(everyFieldBytes(), r).ok());
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
  SetupRecord r = everyFieldSet();
  EXPECT_EQ(r.storedLine(3).settings, QStringLiteral("3200,e,7,2"));
  EXPECT_EQ(r.storedLine(7).flowCode, 3);
  EXPECT_EQ(encodeSetupRecord(r)->toHex(), everyFieldBytes().toHex());
  // Giving the record the settings it reads changes none of its bytes.
  r.setConditions(r.conditions());
  LineSettings line;
  ASSERT_TRUE(readStoredLine(r.storedLine(0), line).ok());
  EXPECT_EQ(line.config.parity, serial::Parity::Even);
  r.setLine(0, line);
  EXPECT_EQ(encodeSetupRecord(r)->toHex(), everyFieldBytes().toHex());
}

struct SlotCase {
  int channel;
  StoredLine stored;
  bool ok;
  int port;
  const char* settings;
  FlowControl flow;
};

// Channel 0 always has a port; another channel's unused slot (port 0) reads
// as no port, and a value the port would refuse stops the reading there.
TEST(SetupRecordTest, EachChannelReadsItsSlotUnderThePortsRules) {
  const SlotCase cases[] = {
      {0, {0, {}, 0}, false, 1, "9600,n,8,1", FlowControl::None},
      {1, {0, {}, 0}, true, NoPort, "9600,n,8,1", FlowControl::None},
      {1, {0, QStringLiteral("300,o,7,1"), 1}, true, NoPort, "300,o,7,1", FlowControl::XonXoff},
      {3, {9, QStringLiteral("300,o,7,1"), 1}, false, NoPort, "9600,n,8,1", FlowControl::None},
      {3, {4, QStringLiteral("garbage"), 2}, false, 4, "9600,n,8,1", FlowControl::None},
      {7, {8, QStringLiteral("115200,E,8,2"), 3}, true, 8, "115200,e,8,2", FlowControl::RtsCtsXonXoff},
  };
  for (const SlotCase& c : cases) {
    SCOPED_TRACE(c.channel);
    LineSettings line = defaultLines().at(static_cast<std::size_t>(c.channel));
    EXPECT_EQ(readStoredLine(c.stored, line, c.channel).ok(), c.ok);
    EXPECT_EQ(line, (LineSettings{c.port, serial::parseSettings(QString::fromLatin1(c.settings)).value(), c.flow}));
  }
  // No port is a value of its own only for channels other than 0.
  LineSettings without;
  without.port = NoPort;
  EXPECT_EQ(validate(without, 0).size(), 1u);
  EXPECT_EQ(validate(without, 0).front().field, Field::Port);
  EXPECT_TRUE(validate(without, 1).empty());
}

TEST(SetupRecordTest, EmptyStartColumnTakesOnlyItsLength) {
  const Result<QByteArray> bytes = encodeSetupRecord(withColumnOf(workedExample(), 0));
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes->sliced(14, 2), hex("0000"));
  EXPECT_EQ(bytes->sliced(16, 4), hex("02000000"));  // startRow follows at once
}

TEST(SetupRecordTest, FieldsThatDoNotFitIn2048BytesCannotBeEncoded) {
  // 80 bytes of other fields and the column's 2 length bytes
  EXPECT_TRUE(encodeSetupRecord(withColumnOf(SetupRecord(), 2048 - 82)).ok());
  const Result<QByteArray> tooLong = encodeSetupRecord(withColumnOf(SetupRecord(), 2048 - 81));
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
  Conditions before;
  before.cursor.column = QStringLiteral("ZZ");
  before.rows = 99;
  r.setConditions(before);
  const Status decoded = decodeSetupRecord(c.data, r);
  ASSERT_FALSE(decoded.ok());
  EXPECT_TRUE(decoded.error().is(SetupError::Truncated));
  EXPECT_EQ(r.conditions().cursor.acquisitionNo, c.acquisitionNo);
  EXPECT_EQ(r.conditions().cursor.column, QString::fromLatin1(c.startCol));
  EXPECT_EQ(r.conditions().rows, 99);  // never reached
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
  const SetupRecord original = withColumnOf(SetupRecord(), 2048 - 82);
  const Result<QByteArray> bytes = encodeSetupRecord(original);
  ASSERT_TRUE(bytes.ok());
  SetupRecord back;
  ASSERT_TRUE(decodeSetupRecord(*bytes + QByteArray("after"), back).ok());
  EXPECT_EQ(back, original);
}

// The typed fields as a hand-made file may hold them: each reads as its
// readers have always taken it, is written back unchanged while untouched,
// and is written in the record's own form once set.
enum class Stored { StampMode, ScriptFromFile, NumberingOn, StartAtCell, FirstSlotFlow, LastSlotFlow };
using TypedValue = std::variant<bool, StampMode, std::optional<FlowControl>>;

struct StoredValueCase {
  Stored field;
  std::int16_t stored;   // in the file
  TypedValue reads;      // in memory
  std::int16_t written;  // after the field is set to the value it reads as
};

// Where each field lies in the worked example's bytes.
qsizetype offsetOf(Stored field) {
  switch (field) {
    case Stored::StampMode:
      return 2;
    case Stored::ScriptFromFile:
      return 4;
    case Stored::NumberingOn:
      return 6;
    case Stored::StartAtCell:
      return 12;
    case Stored::FirstSlotFlow:
      return 75;
    case Stored::LastSlotFlow:
      return 89;
  }
  return -1;
}

const char* nameOf(Stored field) {
  switch (field) {
    case Stored::StampMode:
      return "StampMode";
    case Stored::ScriptFromFile:
      return "ScriptFromFile";
    case Stored::NumberingOn:
      return "NumberingOn";
    case Stored::StartAtCell:
      return "StartAtCell";
    case Stored::FirstSlotFlow:
      return "FirstSlotFlow";
    case Stored::LastSlotFlow:
      return "LastSlotFlow";
  }
  return "";
}

std::optional<FlowControl> flowOf(std::int16_t code) {
  const Result<FlowControl> flow = serial::flowControlFromCode(code);
  return flow ? std::optional(*flow) : std::nullopt;
}

TypedValue typedValue(const SetupRecord& r, Stored field) {
  const Conditions c = r.conditions();
  switch (field) {
    case Stored::StampMode:
      return c.stamp;
    case Stored::ScriptFromFile:
      return c.scriptFromFile;
    case Stored::NumberingOn:
      return c.numbering;
    case Stored::StartAtCell:
      return c.startAtCell;
    case Stored::FirstSlotFlow:
      return flowOf(r.storedLine(0).flowCode);
    case Stored::LastSlotFlow:
      return flowOf(r.storedLine(SlotCount - 1).flowCode);
  }
  return false;
}

// Sets the field to `value` as OK on the panel does; a slot that names no
// flow control gets none.
void setTypedValue(SetupRecord& r, Stored field, const TypedValue& value) {
  Conditions c = r.conditions();
  switch (field) {
    case Stored::StampMode:
      c.stamp = std::get<StampMode>(value);
      break;
    case Stored::ScriptFromFile:
      c.scriptFromFile = std::get<bool>(value);
      break;
    case Stored::NumberingOn:
      c.numbering = std::get<bool>(value);
      break;
    case Stored::StartAtCell:
      c.startAtCell = std::get<bool>(value);
      break;
    case Stored::FirstSlotFlow:
    case Stored::LastSlotFlow: {
      LineSettings line;
      line.flow = std::get<std::optional<FlowControl>>(value).value_or(FlowControl::None);
      r.setLine(field == Stored::FirstSlotFlow ? 0 : SlotCount - 1, line);
      return;
    }
  }
  r.setConditions(c, Rewrite::All);
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
        StoredValueCase{Stored::StampMode, 0, StampMode::None, 0},
        StoredValueCase{Stored::StampMode, 1, StampMode::Date, 1},
        StoredValueCase{Stored::StampMode, 2, StampMode::Time, 2},
        StoredValueCase{Stored::StampMode, 3, StampMode::DateAndTime, 3},
        StoredValueCase{Stored::StampMode, 4, StampMode::None, 0},
        StoredValueCase{Stored::StampMode, 7, StampMode::None, 0},
        StoredValueCase{Stored::StampMode, -1, StampMode::None, 0},
        StoredValueCase{Stored::StampMode, 32767, StampMode::None, 0},
        // Any Boolean but 0 is true for these two.
        StoredValueCase{Stored::ScriptFromFile, 0, false, 0}, StoredValueCase{Stored::ScriptFromFile, -1, true, -1},
        StoredValueCase{Stored::ScriptFromFile, 1, true, -1}, StoredValueCase{Stored::ScriptFromFile, 5, true, -1},
        StoredValueCase{Stored::ScriptFromFile, -32768, true, -1}, StoredValueCase{Stored::NumberingOn, 0, false, 0},
        StoredValueCase{Stored::NumberingOn, -1, true, -1}, StoredValueCase{Stored::NumberingOn, 1, true, -1},
        StoredValueCase{Stored::NumberingOn, 5, true, -1}, StoredValueCase{Stored::NumberingOn, -2, true, -1},
        // Only -1 is true for the start cell.
        StoredValueCase{Stored::StartAtCell, -1, true, -1}, StoredValueCase{Stored::StartAtCell, 0, false, 0},
        StoredValueCase{Stored::StartAtCell, 1, false, 0}, StoredValueCase{Stored::StartAtCell, 5, false, 0},
        StoredValueCase{Stored::StartAtCell, -2, false, 0}, StoredValueCase{Stored::StartAtCell, 32767, false, 0},
        // Flow control 0 to 3 in any slot; anything else names none.
        StoredValueCase{Stored::FirstSlotFlow, 0, FlowControl::None, 0},
        StoredValueCase{Stored::FirstSlotFlow, 1, FlowControl::XonXoff, 1},
        StoredValueCase{Stored::FirstSlotFlow, 2, FlowControl::RtsCts, 2},
        StoredValueCase{Stored::FirstSlotFlow, 3, FlowControl::RtsCtsXonXoff, 3},
        StoredValueCase{Stored::FirstSlotFlow, 4, NoFlowControl, 0},
        StoredValueCase{Stored::FirstSlotFlow, 7, NoFlowControl, 0},
        StoredValueCase{Stored::FirstSlotFlow, -1, NoFlowControl, 0}),
    [](const auto& p) {
      const std::int16_t v = p.param.stored;
      return std::string(nameOf(p.param.field)) + (v < 0 ? "_minus" : "_") + std::to_string(v < 0 ? -v : v);
    });

TEST(SetupRecordTest, AHandMadeValueIsDroppedWhenItsFieldIsSetAndOnlyThen) {
  QByteArray file = withInt16At(WorkedExampleBytes, offsetOf(Stored::NumberingOn), 5);
  file = withInt16At(file, offsetOf(Stored::StartAtCell), 1);
  SetupRecord r;
  ASSERT_TRUE(decodeSetupRecord(file, r).ok());
  Conditions c = r.conditions();
  r.setConditions(c);  // the same values: nothing rewritten
  EXPECT_EQ(int16At(*encodeSetupRecord(r), offsetOf(Stored::NumberingOn)), 5);
  c.numbering = false;
  r.setConditions(c);
  c.numbering = true;
  r.setConditions(c);  // back to what it read as: still set
  const QByteArray bytes = *encodeSetupRecord(r);
  EXPECT_EQ(int16At(bytes, offsetOf(Stored::NumberingOn)), -1);
  EXPECT_EQ(int16At(bytes, offsetOf(Stored::StartAtCell)), 1);  // untouched
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
  EXPECT_EQ(r.conditions().stamp, StampMode::DateAndTime);
  EXPECT_EQ(r.conditions().cursor.row, 2);
  EXPECT_EQ(r.conditions().rows, 0);
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
  EXPECT_EQ(back.storedLine(3).settings, QStringLiteral("3200,e,7,2"));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SetupFileTest, LoadingAndSavingAHandMadeFileKeepsItsBytes) {
  QByteArray file = *encodeSetupRecord(workedExample());
  for (const auto& [field, value] : {std::pair<Stored, std::int16_t>{Stored::StampMode, 7},
                                     {Stored::ScriptFromFile, 5},
                                     {Stored::NumberingOn, -2},
                                     {Stored::StartAtCell, 1},
                                     {Stored::FirstSlotFlow, 4},
                                     {Stored::LastSlotFlow, -3}})
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
  const SetupRecord r = withColumnOf(SetupRecord(), 3000);
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
