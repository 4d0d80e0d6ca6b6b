// The reply schedule of kestrune-instrument on a manual clock: which bytes go
// out, in what pieces, in what order and when.
#include "instrument/engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrune::instrument {
namespace {

using namespace std::string_literals;

class ManualClock final : public Clock {
public:
  std::int64_t nowMs() override { return now; }
  std::tm localTime() override {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 30;
    t.tm_sec = static_cast<int>(now / 1000 % 60);
    return t;
  }
  std::int64_t now = 1000;
};

Options parse(const std::vector<std::string>& args) {
  auto line = parseCommandLine(args);
  EXPECT_TRUE(line.ok()) << line.description();
  return line ? line->options : Options{};
}

// A write that went out, and when.
struct Sent {
  std::string bytes;
  std::int64_t at;
  bool endsLine;
  bool operator==(const Sent&) const = default;
};

void PrintTo(const Sent& s, std::ostream* os) {
  *os << "{" << ::testing::PrintToString(s.bytes) << " @" << s.at << (s.endsLine ? " end" : "") << "}";
}

// Drives the engine as the poll loop does: advance, take what is due, mark it written.
std::vector<Sent> sendDue(Engine& engine, ManualClock& clock) {
  std::vector<Sent> sent;
  engine.advance();
  while (auto write = engine.popDue()) {
    sent.push_back({write->bytes, clock.now, write->endsLine});
    engine.written(*write);
    engine.advance();
  }
  return sent;
}

// Moves the clock from deadline to deadline until `untilMs`, collecting every write.
std::vector<Sent> runUntil(Engine& engine, ManualClock& clock, std::int64_t untilMs) {
  std::vector<Sent> sent;
  while (true) {
    for (Sent& s : sendDue(engine, clock)) sent.push_back(std::move(s));
    const auto deadline = engine.nextDeadline();
    if (!deadline || *deadline > untilMs) break;
    EXPECT_GT(*deadline, clock.now) << "a deadline that is already due would make the loop spin";
    clock.now = *deadline;
  }
  clock.now = untilMs;
  return sent;
}

// The bytes of the first write answering one line "Q", or "" when none.
std::string firstReply(const std::vector<std::string>& args) {
  ManualClock clock;
  const Options options = parse(args);
  Engine engine(options, clock);
  (void)engine.receive("Q\r");
  const auto sent = sendDue(engine, clock);
  return sent.empty() ? std::string() : sent[0].bytes;
}

TEST(InstrumentEngine, RepliesAtOnceWithoutDelay) {
  ManualClock clock;
  const Options options = parse({"--on", "MEAS?=測定{n}"});
  Engine engine(options, clock);
  EXPECT_EQ(engine.receive("MEAS?\r"), std::vector<std::string>{"MEAS?"});
  EXPECT_EQ(sendDue(engine, clock), (std::vector<Sent>{{"\x91\xAA\x92\xE8"
                                                        "1\r\n",
                                                        1000, true}}));
  EXPECT_FALSE(engine.nextDeadline().has_value());
  EXPECT_EQ(engine.linesSent(), 1u);
}

TEST(InstrumentEngine, ChoosesTheReplyByFirstMatchingPrefix) {
  const struct {
    std::vector<std::string> args;
    std::string line;
    std::string reply;  // "" for none
  } rows[] = {
      {{"--on", "A=1", "--on", "AB=2", "--reply", "D"}, "ABC", "1\r\n"},
      {{"--on", "AB=2", "--on", "A=1", "--reply", "D"}, "ABC", "2\r\n"},
      {{"--on", "AB=2", "--on", "A=1", "--reply", "D"}, "AC", "1\r\n"},
      {{"--on", "AB=2", "--reply", "D"}, "B", "D\r\n"},
      {{"--on", "AB=2"}, "B", ""},
      {{"--on", "AB=2", "--echo"}, "XY", "XY\r\n"},
      {{"--echo", "--eol", "NONE"}, "\x91\xAA\x80", "\x91\xAA\x80"},
      {{"--on", "測=x"},
       "\x91\xAA"
       "123",
       "x\r\n"},
      {{"--on", "ABCD=x"}, "ABC", ""},
      {{"--reply", "[{line}]", "--eol", "LF"}, "Q 1", "[Q 1]\n"},
      {{}, "MEAS?", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args) + " " + row.line);
    ManualClock clock;
    const Options options = parse(row.args);
    Engine engine(options, clock);
    (void)engine.receive(row.line + "\r");
    const auto sent = sendDue(engine, clock);
    if (row.reply.empty()) {
      EXPECT_TRUE(sent.empty());
    } else {
      ASSERT_EQ(sent.size(), 1u);
      EXPECT_EQ(sent[0].bytes, row.reply);
    }
  }
}

TEST(InstrumentEngine, DelayedRepliesGoOutInOrderAtTheirTimes) {
  ManualClock clock;
  const Options options = parse({"--echo", "--delay", "200"});
  Engine engine(options, clock);
  (void)engine.receive("A\r");
  EXPECT_TRUE(sendDue(engine, clock).empty());
  EXPECT_EQ(engine.nextDeadline(), 1200);
  clock.now = 1100;
  (void)engine.receive("B\rC\r");  // received while A waits
  EXPECT_EQ(runUntil(engine, clock, 2000),
            (std::vector<Sent>{{"A\r\n", 1200, true}, {"B\r\n", 1300, true}, {"C\r\n", 1300, true}}));
}

TEST(InstrumentEngine, OneWriteAtATimeUntilItIsWritten) {
  ManualClock clock;
  const Options options = parse({"--echo"});
  Engine engine(options, clock);
  (void)engine.receive("A\rB\r");
  const auto first = engine.popDue();
  ASSERT_TRUE(first.has_value());
  EXPECT_FALSE(engine.popDue().has_value()) << "a second write while the first is in flight";
  EXPECT_FALSE(engine.nextDeadline().has_value());
  engine.written(*first);
  const auto second = engine.popDue();
  ASSERT_TRUE(second.has_value());
  EXPECT_EQ(second->bytes, "B\r\n");
}

TEST(InstrumentEngine, SplitRepliesGoOutInPiecesGapApart) {
  ManualClock clock;
  const Options options = parse({"--reply", "ABCDEFGH", "--split", "3:20"});
  Engine engine(options, clock);
  (void)engine.receive("Q\rR\r");
  EXPECT_EQ(runUntil(engine, clock, 5000), (std::vector<Sent>{
                                               {"ABC", 1000, false},
                                               {"DEF", 1020, false},
                                               {"GH\r", 1040, false},
                                               {"\n", 1060, true},
                                               {"ABC", 1080, false},  // the next reply waits its turn
                                               {"DEF", 1100, false},
                                               {"GH\r", 1120, false},
                                               {"\n", 1140, true},
                                           }));
  EXPECT_EQ(engine.linesSent(), 2u);
}

TEST(InstrumentEngine, SplitCutsDoubleByteCharacters) {
  ManualClock clock;
  const Options options = parse({"--reply", "測定", "--split", "3:0"});
  Engine engine(options, clock);
  (void)engine.receive("Q\r");
  EXPECT_EQ(runUntil(engine, clock, 2000),
            (std::vector<Sent>{{"\x91\xAA\x92", 1000, false}, {"\xE8\r\n", 1000, true}}));
}

TEST(InstrumentEngine, StreamSendsCountLinesAtTheInterval) {
  ManualClock clock;
  const Options options = parse({"--stream", "W{n}", "--interval", "100", "--count", "3", "--start", "7"});
  Engine engine(options, clock);
  EXPECT_TRUE(sendDue(engine, clock).empty());
  EXPECT_EQ(engine.nextDeadline(), 1100);
  EXPECT_EQ(runUntil(engine, clock, 2000),
            (std::vector<Sent>{{"W7\r\n", 1100, true}, {"W8\r\n", 1200, true}, {"W9\r\n", 1300, true}}));
  EXPECT_FALSE(engine.nextDeadline().has_value());
  EXPECT_FALSE(engine.finished()) << "without --exit-after the instrument keeps running";
}

TEST(InstrumentEngine, StreamEndingFinishesWithExitAfter) {
  ManualClock clock;
  const Options options = parse({"--stream", "W", "--interval", "100", "--count", "2", "--exit-after", "50"});
  Engine engine(options, clock);
  (void)runUntil(engine, clock, 1150);
  EXPECT_FALSE(engine.finished());
  (void)runUntil(engine, clock, 1250);
  EXPECT_TRUE(engine.finished());
}

TEST(InstrumentEngine, LateWakeUpSendsOneStreamLineNotABurst) {
  ManualClock clock;
  const Options options = parse({"--stream", "W{n}", "--interval", "100"});
  Engine engine(options, clock);
  clock.now = 1550;
  EXPECT_EQ(sendDue(engine, clock), (std::vector<Sent>{{"W1\r\n", 1550, true}}));
  EXPECT_EQ(engine.nextDeadline(), 1650);
}

TEST(InstrumentEngine, StreamLinesNobodyTakesAreDroppedBeyondTheQueueLimit) {
  ManualClock clock;
  const Options options = parse({"--stream", "W", "--interval", "10"});
  Engine engine(options, clock);
  for (int i = 0; i < 1000; ++i) {
    clock.now += 10;
    engine.advance();
  }
  EXPECT_EQ(engine.queued(), Engine::kMaxQueued);
}

TEST(InstrumentEngine, ExitAfterCountsLinesWrittenInFull) {
  ManualClock clock;
  const Options options = parse({"--echo", "--exit-after", "2", "--split", "2:10"});
  Engine engine(options, clock);
  (void)engine.receive("AB\rCD\rEF\r");
  // "AB" at 1000 and CR LF at 1010 make the first line; the second ends at 1030.
  (void)runUntil(engine, clock, 1015);
  EXPECT_EQ(engine.linesSent(), 1u);
  EXPECT_FALSE(engine.finished());
  EXPECT_EQ(runUntil(engine, clock, 2000), (std::vector<Sent>{{"CD", 1020, false}, {"\r\n", 1030, true}}));
  EXPECT_TRUE(engine.finished());
  // Nothing more goes out once finished: not the queued third reply, not a new one.
  (void)engine.receive("GH\r");
  EXPECT_FALSE(engine.popDue().has_value());
  EXPECT_FALSE(engine.nextDeadline().has_value());
  EXPECT_EQ(engine.linesSent(), 2u);
}

TEST(InstrumentEngine, GarbageComesBeforeEachReplyAndDependsOnTheSeed) {
  const std::string a = firstReply({"--garbage", "16", "--reply", "OK"});
  ASSERT_EQ(a.size(), 20u);
  EXPECT_EQ(a.substr(16), "OK\r\n");
  EXPECT_EQ(firstReply({"--garbage", "16", "--reply", "OK"}), a);
  EXPECT_NE(firstReply({"--garbage", "16", "--reply", "OK", "--seed", "2"}), a);

  const std::string only = firstReply({"--garbage-only", "--garbage", "16", "--reply", "OK"});
  EXPECT_EQ(only, a.substr(0, 16));

  // Every byte value can come, the ones that trouble receivers included.
  const std::string many = firstReply({"--garbage-only", "--garbage", "4096", "--echo"});
  ASSERT_EQ(many.size(), 4096u);
  EXPECT_NE(many.find('\0'), std::string::npos);
  EXPECT_NE(many.find('\xFF'), std::string::npos);
}

TEST(InstrumentEngine, GarbageLeavesTheRandomNumbersOfASeedAlone) {
  const std::string plain = firstReply({"--reply", "{rand:0:1000000}", "--seed", "9"});
  const std::string noisy = firstReply({"--reply", "{rand:0:1000000}", "--seed", "9", "--garbage", "5"});
  ASSERT_EQ(noisy.size(), plain.size() + 5);
  EXPECT_EQ(noisy.substr(5), plain);
}

TEST(InstrumentEngine, PlaceholdersTakeTheClockAndTheCounter) {
  ManualClock clock;
  clock.now = 65'000;
  const Options options = parse({"--reply", "{n} {date} {time}", "--start", "41"});
  Engine engine(options, clock);
  (void)engine.receive("A\rB\r");
  EXPECT_EQ(sendDue(engine, clock), (std::vector<Sent>{{"41 2026/12/07 09:30:05\r\n", 65'000, true},
                                                       {"42 2026/12/07 09:30:05\r\n", 65'000, true}}));
}

TEST(InstrumentEngine, AnEmptyReplyStillCountsAsSent) {
  ManualClock clock;
  const Options options = parse({"--reply", "", "--eol", "NONE", "--exit-after", "1"});
  Engine engine(options, clock);
  (void)engine.receive("Q\r");
  const auto sent = sendDue(engine, clock);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].bytes, "");
  EXPECT_TRUE(engine.finished());
}

}  // namespace
}  // namespace kestrune::instrument
