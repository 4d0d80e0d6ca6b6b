// kestrune-instrument end to end: the built program on a real pseudo-terminal,
// opened raw the way the logger opens a serial port.
#include "tools/instrument_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace kestrune::instrument::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A started instrument with its device open; closes the device, kills the child.
class Session {
public:
  explicit Session(const std::vector<std::string>& args, bool pipeStdin = false) : process(args, pipeStdin) {
    device = process.readDevicePath();
    if (!device.empty()) fd = openDevice(device);
  }
  ~Session() { closeDevice(); }
  void closeDevice() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  bool ready() const { return fd >= 0; }
  // Sends `command` and returns the next `replySize` bytes.
  std::string ask(const std::string& command, std::size_t replySize) {
    writeAll(fd, command);
    return readBytes(fd, replySize);
  }

  InstrumentProcess process;
  std::string device;
  int fd = -1;
};

// A fresh folder for links, removed with everything in it.
class TempDir {
public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrune-instrument-XXXXXX").string();
    path = ::mkdtemp(pattern.data()) ? fs::path(pattern) : fs::path();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path.empty()) fs::remove_all(path, ignored);
  }
  fs::path path;
};

TEST(InstrumentEndToEnd, RepliesToMeasInCodePage932) {
  Session s({"--on", "MEAS?=測定,{n}\\x80"});
  ASSERT_TRUE(s.ready()) << s.device;
  EXPECT_EQ(s.device.rfind("/dev/pts/", 0), 0u) << s.device;
  const struct {
    std::string command, reply;
  } rows[] = {
      {"MEAS?\r", "\x91\xAA\x92\xE8,1\x80\r\n"},
      // LF and CR LF end lines too; CR LF counts once, so {n} goes up by one.
      {"MEAS?\r\n", "\x91\xAA\x92\xE8,2\x80\r\n"},
      {"MEAS?\n", "\x91\xAA\x92\xE8,3\x80\r\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(s.ask(row.command, row.reply.size()), row.reply) << row.command;
  EXPECT_TRUE(quietFor(s.fd, 100));
}

TEST(InstrumentEndToEnd, FirstMatchingPrefixWinsAndOthersGetTheDefault) {
  Session s({"--on", "MEAS?=A", "--on", "ME=B", "--reply", "D"});
  ASSERT_TRUE(s.ready());
  const struct {
    std::string command, reply;
  } rows[] = {
      {"MEAS?\r", "A\r\n"}, {"MEX\r", "B\r\n"}, {"MEAS?X\r", "A\r\n"}, {"XYZ\r", "D\r\n"}, {"M\r", "D\r\n"},
  };
  for (const auto& row : rows) EXPECT_EQ(s.ask(row.command, row.reply.size()), row.reply) << row.command;
}

TEST(InstrumentEndToEnd, LinesWithoutARuleGetNoReplyWithoutDefault) {
  Session s({"--on", "MEAS?=A"});
  ASSERT_TRUE(s.ready());
  writeAll(s.fd, "XYZ\r\r\n");
  // The reply to the next line comes alone: nothing was sent for XYZ or the empty line.
  EXPECT_EQ(s.ask("MEAS?\r", 3), "A\r\n");
  EXPECT_TRUE(quietFor(s.fd, 150));
}

TEST(InstrumentEndToEnd, DelayedRepliesKeepOrderWhileReadingGoesOn) {
  Session s({"--echo", "--delay", "400"});
  ASSERT_TRUE(s.ready());
  const auto sent = std::chrono::steady_clock::now();
  for (const char* line : {"A\r", "B\r", "C\r", "D\r", "E\r"}) writeAll(s.fd, line);
  EXPECT_TRUE(quietFor(s.fd, 100)) << "a reply came before its delay";
  EXPECT_EQ(readBytes(s.fd, 15), "A\r\nB\r\nC\r\nD\r\nE\r\n");
  // One delay for all five, not five delays one after another (2 s); the bound is loose.
  const auto elapsed = std::chrono::steady_clock::now() - sent;
  EXPECT_LT(elapsed, std::chrono::milliseconds(1600));
}

TEST(InstrumentEndToEnd, SplitRepliesArriveInPiecesButComplete) {
  Session s({"--reply", "測定値ABCDEF", "--split", "3:40"});
  ASSERT_TRUE(s.ready());
  writeAll(s.fd, "Q\r");
  const std::string expected =
      "\x91\xAA\x92\xE8\x92\x6C"
      "ABCDEF\r\n";
  const std::vector<std::string> pieces = readPieces(s.fd, expected.size());
  std::string joined;
  for (const std::string& piece : pieces) joined += piece;
  EXPECT_EQ(joined, expected);
  EXPECT_GE(pieces.size(), 2u) << "the reply came in one piece";
  EXPECT_LE(pieces.front().size(), 3u);
}

TEST(InstrumentEndToEnd, StreamSendsCountLinesThenExitsWithExitAfter) {
  Session s({"--stream", "W{n}", "--interval", "50", "--count", "3", "--exit-after", "3"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(readBytes(s.fd, 12), "W1\r\nW2\r\nW3\r\n");
  EXPECT_EQ(s.process.waitExit(5000), 0);
}

TEST(InstrumentEndToEnd, StreamEndsButTheInstrumentKeepsAnswering) {
  Session s({"--stream", "W{n}", "--interval", "30", "--count", "2", "--echo"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(readBytes(s.fd, 8), "W1\r\nW2\r\n");
  EXPECT_TRUE(quietFor(s.fd, 200));
  EXPECT_TRUE(s.process.running());
  EXPECT_EQ(s.ask("X\r", 3), "X\r\n");
}

TEST(InstrumentEndToEnd, LinkLeadsToTheDevice) {
  TempDir dir;
  const fs::path link = dir.path / "meter";
  Session s({"--link", link.string(), "--reply", "OK"});
  ASSERT_FALSE(s.device.empty());
  ASSERT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link).string(), s.device);
  s.closeDevice();
  s.fd = openDevice(link.string());
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("MEAS?\r", 4), "OK\r\n");
}

TEST(InstrumentEndToEnd, SignalsEndCleanlyAndRemoveTheLink) {
  const struct {
    int signal;
    bool oldLink;  // a link from an earlier run is there and gets replaced
  } rows[] = {{SIGTERM, false}, {SIGINT, true}, {SIGHUP, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(strsignal(row.signal));
    TempDir dir;
    const fs::path link = dir.path / "meter";
    if (row.oldLink) fs::create_symlink("/dev/null", link);
    Session s({"--link", link.string(), "--echo"});
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(fs::read_symlink(link).string(), s.device);
    EXPECT_EQ(s.ask("A\r", 3), "A\r\n");
    s.process.signal(row.signal);
    EXPECT_EQ(s.process.waitExit(5000), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
  }
}

TEST(InstrumentEndToEnd, LinkNeverReplacesARegularFile) {
  TempDir dir;
  const fs::path file = dir.path / "meter";
  std::ofstream(file) << "keep me";
  InstrumentProcess process({"--link", file.string()});
  ASSERT_TRUE(process.spawned());
  EXPECT_EQ(process.waitExit(5000), 1);
  EXPECT_EQ(process.stdoutText(), "");
  EXPECT_NE(process.stderrText().find("not a symbolic link"), std::string::npos) << process.stderrText();
  std::ifstream in(file);
  std::string content;
  std::getline(in, content);
  EXPECT_EQ(content, "keep me");
  EXPECT_FALSE(fs::is_symlink(file));
}

TEST(InstrumentEndToEnd, DeviceCanBeClosedAndReopened) {
  Session s({"--echo"});
  ASSERT_TRUE(s.ready());
  for (int round = 0; round < 4; ++round) {
    const std::string line = "R" + std::to_string(round);
    EXPECT_EQ(s.ask(line + "\r", line.size() + 2), line + "\r\n") << "round " << round;
    s.closeDevice();
    s.fd = openDevice(s.device);
    ASSERT_TRUE(s.ready()) << "round " << round;
  }
  EXPECT_TRUE(s.process.running());
}

TEST(InstrumentEndToEnd, ExitAfterEndsOnceTheRepliesAreRead) {
  TempDir dir;
  const fs::path link = dir.path / "meter";
  Session s({"--echo", "--exit-after", "2", "--link", link.string()});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("A\r", 3), "A\r\n");
  EXPECT_TRUE(s.process.running());
  EXPECT_EQ(s.ask("B\r", 3), "B\r\n");
  EXPECT_EQ(s.process.waitExit(5000), 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
}

TEST(InstrumentEndToEnd, UntilStdinEofEndsWhenStandardInputCloses) {
  Session s({"--until-stdin-eof", "--echo"}, true);
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("A\r", 3), "A\r\n");
  EXPECT_EQ(s.process.waitExit(100), -1);
  s.process.closeStdin();
  EXPECT_EQ(s.process.waitExit(5000), 0);
}

TEST(InstrumentEndToEnd, GarbageComesBeforeTheReply) {
  Session s({"--garbage", "8", "--reply", "OK"});
  ASSERT_TRUE(s.ready());
  const std::string bytes = s.ask("MEAS?\r", 12);
  ASSERT_EQ(bytes.size(), 12u);
  EXPECT_EQ(bytes.substr(8), "OK\r\n");
  EXPECT_TRUE(quietFor(s.fd, 100));
}

TEST(InstrumentEndToEnd, GarbageOnlyReplacesTheReply) {
  Session s({"--garbage-only", "--garbage", "6", "--reply", "OK"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("MEAS?\r", 6).size(), 6u);
  EXPECT_TRUE(quietFor(s.fd, 100)) << "more than the random bytes came";
}

TEST(InstrumentEndToEnd, CustomLineEnd) {
  Session s({"--eol", "\\x03", "--reply", "X"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("Q\r", 2), "X\x03");
  EXPECT_TRUE(quietFor(s.fd, 100));
}

TEST(InstrumentEndToEnd, VerboseLogsLinesAndBytes) {
  Session s({"--verbose", "--reply", "測OK"});
  ASSERT_TRUE(s.ready());
  EXPECT_EQ(s.ask("MEAS?\r", 6),
            "\x91\xAA"
            "OK\r\n");
  s.process.signal(SIGTERM);
  ASSERT_EQ(s.process.waitExit(5000), 0);
  const std::string log = s.process.stderrText();
  EXPECT_NE(log.find("< MEAS?\n"), std::string::npos) << log;
  EXPECT_NE(log.find("> <91><AA>OK<0D><0A>\n"), std::string::npos) << log;
}

TEST(InstrumentEndToEnd, BadOptionsExitWithStatus2) {
  const std::vector<std::vector<std::string>> rows = {
      {"--delay", "soon"}, {"--bogus"}, {"--reply", "{nope}"}, {"--count", "3"}, {"stray"},
  };
  for (const auto& args : rows) {
    InstrumentProcess process(args);
    ASSERT_TRUE(process.spawned());
    EXPECT_EQ(process.waitExit(5000), 2) << args.front();
    EXPECT_EQ(process.stdoutText(), "") << args.front();
    EXPECT_NE(process.stderrText().find("kestrune-instrument: "), std::string::npos) << args.front();
  }
}

TEST(InstrumentEndToEnd, HelpPrintsUsage) {
  InstrumentProcess process({"--help"});
  ASSERT_TRUE(process.spawned());
  EXPECT_EQ(process.waitExit(5000), 0);
  EXPECT_EQ(process.stdoutText().rfind("Usage: kestrune-instrument", 0), 0u);
}

}  // namespace
}  // namespace kestrune::instrument::testing
