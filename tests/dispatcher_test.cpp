#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "output.h"
#include "record.h"
#include "tavo/tavo.h"
#include "test_support.h"

namespace tavo {
namespace {

using test::Bytes;
using test::Captured;
using test::pattern;
using test::ScratchFile;
using test::transformed;

const char* const kUsageTail =
    "x=(4,3,2,1)\r\n"
    "p=(1-255)\r\n"
    "[en|de]encryption or decryption add header or remove header\r\n"
    "[rxen|rxde]encryption or decryption rude and not add or remove header or flag\r\n";

int run(std::vector<const char*> argv, std::string& output) {
  Captured out;
  const int result =
      exit_code(dispatch_command(static_cast<int>(argv.size()), argv.data(), out.sink()));
  output = out.text;
  return result;
}

// The timing value depends on the clock; everything else is exact.
std::string without_timing(const std::string& text) {
  return std::regex_replace(text, std::regex("use time: < -?[0-9]+s\r\n"), "TIMING\n");
}

TEST(Dispatcher, UsageAndKeywordCases) {
  struct Case {
    std::vector<const char*> argv;
    std::string expected;
  };
  const Case cases[] = {
      {{"C:\\bin\\tavo.exe"},
       "C:\\bin\\tavo.exe\r\nusage: tavo.exe filename [en|de|rxen|rxde|] x p\r\n" +
           std::string(kUsageTail)},
      {{"dir\\"}, "dir\\\r\nusage:  filename [en|de|rxen|rxde|] x p\r\n" + std::string(kUsageTail)},
      {{"a/b/tavo"},
       "a/b/tavo\r\nusage: a/b/tavo filename [en|de|rxen|rxde|] x p\r\n" + std::string(kUsageTail)},
      {{"tavo", "d.bin"}, "tavo\r\nTIMING\n"},
      {{"tavo", "d.bin", "EN"},
       "tavo\r\nunknown encryption or decryption way?\r\nusage: tavo filename "
       "[en|de|rxen|rxde|] x p\r\n" +
           std::string(kUsageTail)},
  };
  for (const Case& c : cases) {
    std::string output;
    EXPECT_EQ(run(c.argv, output), 0);
    EXPECT_EQ(without_timing(output), c.expected);
  }
}

TEST(Dispatcher, KeywordsMatchOnTheirLeadingCharactersOnly) {
  struct Case {
    const char* keyword;
    const char* selects;  // line after the echo, or "unknown"
  };
  const Case cases[] = {
      {"en", "tavo en file(k.bin) ok.\r\n"},
      {"encrypt", "tavo en file(k.bin) ok.\r\n"},
      {"rxen", "tavo rxen file(k.bin) ok.\r\n"},
      {"rxenough", "tavo rxen file(k.bin) ok.\r\n"},
      {"rxde", "tavo rxde file(k.bin) ok.\r\n"},
      {"x=xxx", "unknown tavo?file?\r\n"},
      {"x=xxxx", "unknown tavo?file?\r\n"},
      {"EN", "unknown"},
      {"e", "unknown"},
      {"", "unknown"},
      {"x=xx", "unknown"},
      {"rx", "unknown"},
      {"rxe", "unknown"},
      {"rxd", "unknown"},
      {"d", "unknown"},
      {"xen", "unknown"},
  };
  for (const Case& c : cases) {
    ScratchFile file("k.bin", pattern(1000));
    std::string output;
    run({"tavo", "k.bin", c.keyword, "3", "5"}, output);
    const std::string after_echo = output.substr(std::string("tavo\r\n").size());
    if (std::string(c.selects) == "unknown") {
      EXPECT_EQ(after_echo.rfind("unknown encryption or decryption way?\r\nusage: ", 0), 0u)
          << c.keyword;
    } else {
      EXPECT_EQ(after_echo.rfind(c.selects, 0), 0u) << c.keyword << ": " << output;
    }
  }
  // "de" is selected too: it refuses a file that has no record.
  ScratchFile file("k.bin", pattern(1000));
  std::string output;
  EXPECT_EQ(run({"tavo", "k.bin", "decrypt", "1", "1"}, output), 0);
  EXPECT_EQ(without_timing(output), "tavo\r\nunknown tavo?file(k.bin)\r\nTIMING\n");
}

TEST(Dispatcher, PeekIsUntimedAndIgnoresWayAndFactor) {
  ScratchFile file("p.bin", pattern(20));
  std::string output;
  ASSERT_EQ(run({"tavo", "p.bin", "en", "3", "200"}, output), 1);
  EXPECT_EQ(run({"tavo", "p.bin", "x=xxx", "junk", "junk"}, output), 1);
  EXPECT_EQ(output.find("use time"), std::string::npos);
  EXPECT_NE(output.find(" p.bin 3 c8 v o\r\n"), std::string::npos) << output;
}

// Way and factor as recorded by "en": shows how the texts were converted.
struct Conversion {
  std::vector<const char*> tail;  // way and factor texts, either may be absent
  int way;
  int factor;
};

TEST(Dispatcher, WayAndFactorFollowTheAtoiRuleAndClampToOne) {
  const Conversion cases[] = {
      {{}, 1, 1},
      {{"2"}, 2, 1},
      {{"0", "-5"}, 1, 1},
      {{"2abc", "abc"}, 2, 1},
      {{" \t\n+3", "  +200x"}, 3, 200},
      {{"-0", "0"}, 1, 1},
      {{"257", "513"}, 1, 1},                    // low bytes recorded
      {{"3", "99999999999999999999"}, 3, 0xFF},  // saturates at 2^31-1
      {{"-99999999999999999999", "7"}, 1, 7},    // saturates low, clamps
  };
  for (const Conversion& c : cases) {
    ScratchFile file("c.bin", pattern(5));
    std::vector<const char*> argv = {"tavo", "c.bin", "en"};
    argv.insert(argv.end(), c.tail.begin(), c.tail.end());
    std::string output;
    ASSERT_EQ(run(argv, output), 1) << output;
    const Bytes bytes = file.bytes();
    ASSERT_EQ(bytes.size(), 5 + kRecordSize);
    EXPECT_EQ(bytes[5 + kWayOffset], c.way) << output;
    EXPECT_EQ(bytes[5 + kFactorOffset], c.factor) << output;
  }
}

TEST(Dispatcher, LargeWayReachesTheOperationUnchanged) {
  ScratchFile file("w.bin", pattern(5));
  std::string output;
  EXPECT_EQ(run({"tavo", "w.bin", "rxen", "7", "1"}, output), 0);
  EXPECT_EQ(without_timing(output), "tavo\r\ntavo en file(w.bin) unknown way\r\nTIMING\n");
  EXPECT_EQ(run({"tavo", "w.bin", "rxde", "2147483647999", "1"}, output), 0);
  EXPECT_EQ(without_timing(output), "tavo\r\ntavo rxde file(w.bin) unknown way\r\nTIMING\n");
  EXPECT_EQ(file.bytes(), pattern(5));
}

TEST(Dispatcher, TimingLineShowsOneForAQuickRun) {
  ScratchFile file("t.bin", pattern(5));
  std::string output;
  run({"tavo", "t.bin", "rxen", "3", "3"}, output);
  // A run this short crosses at most one second boundary.
  EXPECT_TRUE(std::regex_search(output, std::regex("use time: < [12]s\r\n$"))) << output;
}

TEST(Dispatcher, HelpWordsPrintTheUsage) {
  for (const char* word : {"/?", "-h", "--help"}) {
    std::string output;
    EXPECT_EQ(run({"tavo", word}, output), 0);
    EXPECT_EQ(
        output.rfind(
            "tavo\r\nusage: tavo filename [en|de|rxen|rxde|] x p\r\n" + std::string(kUsageTail), 0),
        0u)
        << output;
  }
}

TEST(Dispatcher, AnOptionAfterTheFactorGivesTheUsualExitCodes) {
  struct Case {
    std::vector<const char*> argv;
    int code;
  };
  // In order, on one file.
  const Case cases[] = {
      {{"tavo", "e.bin", "en", "3", "42"}, 1},
      {{"tavo", "e.bin", "de", "3", "42", "--exit-codes"}, 0},
      {{"tavo", "e.bin", "de", "3", "42", "--exit-codes"}, 1},  // no record now
      {{"tavo", "e.bin", "de", "3", "42"}, 0},
      {{"tavo", "e.bin", "EN", "3", "42", "--again"}, 2},
      {{"tavo", "e.bin", "x=xxx", "--exit-codes"}, 1},
  };
  ScratchFile file("e.bin", pattern(100));
  for (const Case& c : cases) {
    Captured out, errors;
    EXPECT_EQ(
        run_command_line(static_cast<int>(c.argv.size()), c.argv.data(), out.sink(), errors.sink()),
        c.code)
        << c.argv[2] << " " << c.argv.size() << ": " << out.text;
  }
}

// Lines that once ran something nobody asked for are refused, with a reason
// and nothing opened: beside "a.pdf" lies "enrollment.pdf", which selects
// "en" on its leading characters.
TEST(Dispatcher, MistypedLinesAreRefusedBeforeAnyFileIsOpened) {
  struct Case {
    std::vector<const char*> argv;
    int code;
    const char* reason;  // the start of the line on standard error
  };
  const Case cases[] = {
      {{"a.pdf", "enrollment.pdf", "de", "3", "42", "--dryrun"}, 0, "tavo: --dryrun: not an"},
      {{"a.pdf", "enrollment.pdf", "de", "3", "42", "-r", "-v"}, 2, "tavo: -v: not an option"},
      {{"a.pdf", "enrollment.pdf", "de", "3"}, 0, "tavo: enrollment.pdf: ambiguous"},
      {{"a.pdf", "enrollment.pdf", "x=xxxx"}, 0, "tavo: enrollment.pdf: ambiguous"},
      {{"a.pdf", "enrollment.pdf", "decrypt", "3", "42"}, 0, "tavo: decrypt: not a keyword"},
      {{"a.pdf", "enrollment.pdf", "de", "3", "0x2a"}, 0, "tavo: 0x2a: not a decimal"},
      {{"a.pdf", "en", "3", "42", "extra"}, 0, "tavo: extra: more than a file"},
      {{"--", "-r", "en", "3", "42", "--"}, 0, "tavo: --: more than a file"},
  };
  const Bytes plain = pattern(64);
  ScratchFile a("a.pdf", plain), enrollment("enrollment.pdf", plain), dash("-r", plain);
  for (const Case& c : cases) {
    std::vector<const char*> argv = {"tavo"};
    argv.insert(argv.end(), c.argv.begin(), c.argv.end());
    Captured out, errors;
    EXPECT_EQ(
        run_command_line(static_cast<int>(argv.size()), argv.data(), out.sink(), errors.sink()),
        c.code);
    EXPECT_EQ(out.text, "tavo\r\n") << c.reason;
    EXPECT_EQ(errors.text.rfind(c.reason, 0), 0u) << errors.text;
    EXPECT_TRUE(a.bytes() == plain && enrollment.bytes() == plain && dash.bytes() == plain);
  }
  // "--" ends the options: a file named "-r" runs; "-V" alone is the version.
  const char* dashed[] = {"tavo", "--", "-r", "rxen", "3", "42"};
  Captured out, errors;
  EXPECT_EQ(run_command_line(6, dashed, out.sink(), errors.sink()), 1) << errors.text;
  EXPECT_EQ(dash.bytes(), transformed(plain, 3, true, 42));
  const char* version[] = {"tavo", "-V"};
  Captured shown;
  EXPECT_EQ(run_command_line(2, version, shown.sink(), errors.sink()), 0);
  EXPECT_EQ(shown.text, "tavo 0.5beta\r\n");
}

// A photo keeps its date through "en" and "de" on request, and only then.
TEST(Dispatcher, KeepTimeGivesEachFileItsModificationTimeBack) {
  ScratchFile file("kept.bin", pattern(3000));
  const auto old = std::filesystem::last_write_time(file.path) - std::chrono::hours(1000);
  for (const char* keyword : {"en", "de", "rxen"}) {
    std::filesystem::last_write_time(file.path, old);
    const bool keep = std::string(keyword) != "rxen";
    std::vector<const char*> argv = {"tavo", "kept.bin", keyword, "3", "42"};
    if (keep) argv.push_back("--keep-time");
    Captured out, errors;
    EXPECT_EQ(
        run_command_line(static_cast<int>(argv.size()), argv.data(), out.sink(), errors.sink()),
        keep ? 0 : 1)
        << out.text << errors.text;
    EXPECT_EQ(std::filesystem::last_write_time(file.path) == old, keep) << keyword;
  }
}

TEST(Printers, NamesShowControlBytesAndWhatIsNotUtf8Escaped) {
  const std::pair<const char*, const char*> cases[] = {
      {"plain.txt", "plain.txt"},
      {"caf\xC3\xA9 \xE6\x96\x87\xF0\x9F\x98\x80", "caf\xC3\xA9 \xE6\x96\x87\xF0\x9F\x98\x80"},
      {"a\x1B[31m\n\x7F", "a\\x1B[31m\\x0A\\x7F"},
      {"csi\xC2\x9B", "csi\\xC2\\x9B"},                                // a C1 control
      {"\xFF\xC3(\xED\xA0\x80", "\\xFF\\xC3(\\xED\\xA0\\x80"},         // cut short, a surrogate
      {"\xC0\xAF\xF4\x90\x80\x80", "\\xC0\\xAF\\xF4\\x90\\x80\\x80"},  // overlong, past U+10FFFF
  };
  for (const auto& [name, shown] : cases) EXPECT_EQ(shown_name(name), shown) << name;
}

TEST(Printers, BannerLines) {
  Captured out;
  print_banner(out.sink());
  EXPECT_TRUE(std::regex_match(out.text, std::regex("vornic encryption and decryption\r\n"
                                                    "tavo 0\\.5beta version [^\r\n]+\r\n")))
      << out.text;
}

}  // namespace
}  // namespace tavo
