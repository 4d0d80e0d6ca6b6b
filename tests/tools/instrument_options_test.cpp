// The command line of kestrune-instrument: accepted forms, defaults, and the
// messages for options that cannot work.
#include "instrument/options.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace kestrune::instrument {
namespace {

Template templ(const std::string& text) {
  auto parsed = parseTemplate(text);
  EXPECT_TRUE(parsed.ok()) << text;
  return parsed ? parsed.value() : Template{};
}

TEST(InstrumentOptions, DefaultsWithoutOptions) {
  auto line = parseCommandLine({});
  ASSERT_TRUE(line.ok()) << line.description();
  const Options& o = line->options;
  EXPECT_FALSE(line->help);
  EXPECT_TRUE(o.rules.empty());
  EXPECT_FALSE(o.defaultReply.has_value());
  EXPECT_EQ(o.lineEnd, "\r\n");
  EXPECT_EQ(o.delayMs, 0);
  EXPECT_EQ(o.splitSize, 0u);
  EXPECT_EQ(o.garbage, 0u);
  EXPECT_FALSE(o.stream.has_value());
  EXPECT_EQ(o.exitAfter, 0u);
  EXPECT_EQ(o.start, 1u);
  EXPECT_EQ(o.seed, 1u);
  EXPECT_TRUE(o.link.empty());
  EXPECT_FALSE(o.untilStdinEof || o.verbose || o.garbageOnly);
}

struct GoodRow {
  std::vector<std::string> args;
  std::function<void(const CommandLine&)> check;
};

TEST(InstrumentOptions, AcceptsGoodOptions) {
  const GoodRow rows[] = {
      {{"--help"}, [](const CommandLine& c) { EXPECT_TRUE(c.help); }},
      {{"--reply", "OK{n}"}, [](const CommandLine& c) { EXPECT_EQ(c.options.defaultReply, templ("OK{n}")); }},
      {{"--reply=A=B"}, [](const CommandLine& c) { EXPECT_EQ(c.options.defaultReply, templ("A=B")); }},
      {{"--echo"}, [](const CommandLine& c) { EXPECT_EQ(c.options.defaultReply, templ("{line}")); }},
      {{"--on", "MEAS?=1", "--on", "M=測"},
       [](const CommandLine& c) {
         ASSERT_EQ(c.options.rules.size(), 2u);
         EXPECT_EQ(c.options.rules[0].prefix, "MEAS?");
         EXPECT_EQ(c.options.rules[0].reply, templ("1"));
         EXPECT_EQ(c.options.rules[1].prefix, "M");
         EXPECT_EQ(c.options.rules[1].reply, templ("測"));
       }},
      {{"--on=A=B=C"},
       [](const CommandLine& c) {
         ASSERT_EQ(c.options.rules.size(), 1u);
         EXPECT_EQ(c.options.rules[0].prefix, "A");
         EXPECT_EQ(c.options.rules[0].reply, templ("B=C"));
       }},
      {{"--on", "\\x3D\\x3D=eq", "--on", "測定=x"},
       [](const CommandLine& c) {
         ASSERT_EQ(c.options.rules.size(), 2u);
         EXPECT_EQ(c.options.rules[0].prefix, "==");
         EXPECT_EQ(c.options.rules[1].prefix, "\x91\xAA\x92\xE8");  // prefixes compare as code page 932
       }},
      {{"--on", "A=", "--echo"},
       [](const CommandLine& c) {
         ASSERT_EQ(c.options.rules.size(), 1u);
         EXPECT_TRUE(c.options.rules[0].reply.pieces.empty());
         EXPECT_EQ(c.options.defaultReply, templ("{line}"));
       }},
      {{"--eol", "LF"}, [](const CommandLine& c) { EXPECT_EQ(c.options.lineEnd, "\n"); }},
      {{"--eol=none"}, [](const CommandLine& c) { EXPECT_EQ(c.options.lineEnd, ""); }},
      {{"--eol", "\\x03"}, [](const CommandLine& c) { EXPECT_EQ(c.options.lineEnd, "\x03"); }},
      {{"--delay", "200"}, [](const CommandLine& c) { EXPECT_EQ(c.options.delayMs, 200); }},
      {{"--delay", "0"}, [](const CommandLine& c) { EXPECT_EQ(c.options.delayMs, 0); }},
      {{"--split", "3"},
       [](const CommandLine& c) {
         EXPECT_EQ(c.options.splitSize, 3u);
         EXPECT_EQ(c.options.splitGapMs, 20);
       }},
      {{"--split=1:0"},
       [](const CommandLine& c) {
         EXPECT_EQ(c.options.splitSize, 1u);
         EXPECT_EQ(c.options.splitGapMs, 0);
       }},
      {{"--split", "4:150"}, [](const CommandLine& c) { EXPECT_EQ(c.options.splitGapMs, 150); }},
      {{"--garbage", "5", "--reply", "x"}, [](const CommandLine& c) { EXPECT_EQ(c.options.garbage, 5u); }},
      {{"--garbage-only", "--reply", "x"},
       [](const CommandLine& c) {
         EXPECT_TRUE(c.options.garbageOnly);
         EXPECT_EQ(c.options.garbage, kDefaultGarbageOnly);
       }},
      {{"--garbage-only", "--garbage", "4", "--echo"}, [](const CommandLine& c) { EXPECT_EQ(c.options.garbage, 4u); }},
      {{"--garbage-only", "--stream", "W"}, [](const CommandLine& c) { EXPECT_TRUE(c.options.garbageOnly); }},
      {{"--stream", "W{n}", "--interval", "50", "--count", "3"},
       [](const CommandLine& c) {
         EXPECT_EQ(c.options.stream, templ("W{n}"));
         EXPECT_EQ(c.options.intervalMs, 50);
         EXPECT_EQ(c.options.count, 3u);
       }},
      {{"--stream", "W"},
       [](const CommandLine& c) {
         EXPECT_EQ(c.options.intervalMs, 1000);
         EXPECT_EQ(c.options.count, 0u);
       }},
      {{"--exit-after", "2"}, [](const CommandLine& c) { EXPECT_EQ(c.options.exitAfter, 2u); }},
      {{"--start", "100"}, [](const CommandLine& c) { EXPECT_EQ(c.options.start, 100u); }},
      {{"--start", "0"}, [](const CommandLine& c) { EXPECT_EQ(c.options.start, 0u); }},
      {{"--seed", "18446744073709551615"},
       [](const CommandLine& c) { EXPECT_EQ(c.options.seed, 18446744073709551615u); }},
      {{"--link", "/tmp/meter"}, [](const CommandLine& c) { EXPECT_EQ(c.options.link, "/tmp/meter"); }},
      {{"--until-stdin-eof", "--verbose"},
       [](const CommandLine& c) {
         EXPECT_TRUE(c.options.untilStdinEof);
         EXPECT_TRUE(c.options.verbose);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.args));
    auto line = parseCommandLine(row.args);
    ASSERT_TRUE(line.ok()) << line.description();
    row.check(line.value());
  }
}

TEST(InstrumentOptions, RejectsBadOptionsWithAReason) {
  const struct {
    std::vector<std::string> args;
    std::string reason;
  } rows[] = {
      {{"--bogus"}, "unknown option '--bogus'"},
      {{"--bogus=1"}, "unknown option '--bogus'"},
      {{"-v"}, "unexpected argument '-v'"},
      {{"stray"}, "unexpected argument 'stray'"},
      {{"--delay"}, "--delay needs a value"},
      {{"--delay", "-1"}, "not a whole number from 0 to 86400000"},
      {{"--delay", "1.5"}, "not a whole number"},
      {{"--delay", ""}, "not a whole number"},
      {{"--delay", "86400001"}, "not a whole number"},
      {{"--delay", "12ms"}, "not a whole number"},
      {{"--stream", "x", "--interval", "0"}, "--interval: '0'"},
      {{"--split", "0"}, "--split: '0'"},
      {{"--split", "3:"}, "--split: ''"},
      {{"--split", "3:x"}, "--split: 'x'"},
      {{"--split", ":5"}, "--split: ''"},
      {{"--garbage", "0"}, "--garbage: '0'"},
      {{"--exit-after", "0"}, "--exit-after: '0'"},
      {{"--count", "0", "--stream", "x"}, "--count: '0'"},
      {{"--seed", "18446744073709551616"}, "--seed"},
      {{"--count", "3"}, "--count needs --stream"},
      {{"--interval", "10"}, "--interval needs --stream"},
      {{"--echo", "--reply", "x"}, "cannot be combined"},
      {{"--reply", "a", "--reply", "b"}, "--reply given twice"},
      {{"--stream", "a", "--stream", "b"}, "--stream given twice"},
      {{"--on", "NOEQUALS"}, "PREFIX=REPLY"},
      {{"--on", "=x"}, "needs a PREFIX"},
      {{"--on", "A={bad}"}, "--on reply: unknown placeholder {bad}"},
      {{"--on", "\\q=x"}, "--on prefix: unknown escape"},
      {{"--reply", "\\q"}, "--reply: unknown escape"},
      {{"--reply", "😀"}, "--reply: character U+1F600"},
      {{"--stream", "{line}"}, "{line} has no received line"},
      {{"--garbage-only"}, "--garbage-only needs replies"},
      {{"--echo=1"}, "--echo takes no value"},
      {{"--help=yes"}, "--help takes no value"},
      {{"--eol", "\\x0"}, "--eol: \\x needs two hexadecimal digits"},
      {{"--link", ""}, "--link needs a path"},
      {{"--link="}, "--link needs a path"},
  };
  for (const auto& row : rows) {
    auto line = parseCommandLine(row.args);
    ASSERT_FALSE(line.ok()) << ::testing::PrintToString(row.args);
    EXPECT_NE(line.description().find(row.reason), std::string::npos)
        << ::testing::PrintToString(row.args) << " gave: " << line.description();
  }
}

TEST(InstrumentOptions, UsageNamesEveryOption) {
  const std::string usage = usageText();
  EXPECT_EQ(usage.rfind("Usage: kestrune-instrument [OPTION]...\n", 0), 0u);
  for (const char* option : {"--on",      "--reply", "--echo",       "--eol",
                             "--delay",   "--split", "--garbage ",   "--garbage-only",
                             "--start",   "--seed",  "--stream",     "--interval",
                             "--count",   "--link",  "--exit-after", "--until-stdin-eof",
                             "--verbose", "--help",  "{n}",          "{rand:MIN:MAX:DEC}",
                             "{line}",    "{date}",  "{time}"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
}

}  // namespace
}  // namespace kestrune::instrument
