// The dialog's window-free decisions: what a press on each button does to a
// file, the requests it builds, the existence test, the close check and the
// default factor. Expected values come from what the user sees and the
// number rule, not from the code.
#include "dialog_logic.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "resource.h"

#ifdef _WIN32
#include <direct.h>
#define make_directory(path) _mkdir(path)
#else
#include <sys/stat.h>
#define make_directory(path) mkdir(path, 0700)
#endif

namespace tavo::dialog {
namespace {

// A press on each button, through the request the dialog hands the engine,
// on a real file. What it must do is what its place shows the user: its row
// the way (4 inverts, 3 xors, 2 subtracts and 1 adds the factor), its column
// the keyword (encrypt appends a record that decrypt checks and cuts off;
// the rude ones keep none). A wrong row in the button table or in the
// engine's command table changes the bytes or the size.
struct ButtonRow {
  int way;
  int encrypt, decrypt, encrypt_rude, decrypt_rude;
};
const ButtonRow kButtonRows[] = {
    {4, IDC_WAY4_EN, IDC_WAY4_DE, IDC_WAY4_RXEN, IDC_WAY4_RXDE},
    {3, IDC_WAY3_EN, IDC_WAY3_DE, IDC_WAY3_RXEN, IDC_WAY3_RXDE},
    {2, IDC_WAY2_EN, IDC_WAY2_DE, IDC_WAY2_RXEN, IDC_WAY2_RXDE},
    {1, IDC_WAY1_EN, IDC_WAY1_DE, IDC_WAY1_RXEN, IDC_WAY1_RXDE},
};

constexpr std::uint8_t kFactor = 42;
constexpr std::size_t kRecordSize = 512;

std::uint8_t encrypted(int way, std::uint8_t byte) {
  switch (way) {
    case 1:
      return static_cast<std::uint8_t>(byte + kFactor);
    case 2:
      return static_cast<std::uint8_t>(byte - kFactor);
    case 3:
      return static_cast<std::uint8_t>(byte ^ kFactor);
    default:
      return static_cast<std::uint8_t>(~byte);
  }
}

std::uint8_t decrypted(int way, std::uint8_t byte) {
  for (int candidate = 0; candidate < 256; ++candidate) {
    if (encrypted(way, static_cast<std::uint8_t>(candidate)) == byte) {
      return static_cast<std::uint8_t>(candidate);
    }
  }
  return byte;
}

using Bytes = std::vector<std::uint8_t>;

class ButtonPress : public ::testing::TestWithParam<ButtonRow> {
 protected:
  void SetUp() override {
    for (int i = 0; i < 3000; ++i) original_.push_back(static_cast<std::uint8_t>(i * 7));
  }
  void TearDown() override { std::remove(kFile); }
  void write(const Bytes& bytes) {
    std::FILE* file = std::fopen(kFile, "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  Bytes read() {
    Bytes bytes;
    std::FILE* file = std::fopen(kFile, "rb");
    for (int c; file != nullptr && (c = std::fgetc(file)) != EOF;) {
      bytes.push_back(static_cast<std::uint8_t>(c));
    }
    if (file != nullptr) std::fclose(file);
    return bytes;
  }
  Result press(int control_id) {
    const Operation* operation = find_operation(control_id);
    if (operation == nullptr) return Result::failed;
    const Sink quiet{[](void*, const char*, std::size_t) {}, nullptr};
    return run_one(one_file_request(operation, kFile, std::to_string(kFactor)), quiet, quiet)
        .result;
  }
  Bytes transformed(int way, std::uint8_t (*byte_rule)(int, std::uint8_t)) const {
    Bytes bytes = original_;
    for (std::uint8_t& byte : bytes) byte = byte_rule(way, byte);
    return bytes;
  }
  static constexpr const char* kFile = "dialog_logic_press.bin";
  Bytes original_;
};

TEST_P(ButtonPress, EncryptAddsTheRecordThatDecryptOfTheSameRowTakes) {
  const ButtonRow& row = GetParam();
  write(original_);
  ASSERT_EQ(press(row.encrypt), Result::ok);
  Bytes after = read();
  ASSERT_EQ(after.size(), original_.size() + kRecordSize);
  after.resize(original_.size());
  EXPECT_EQ(after, transformed(row.way, encrypted));
  ASSERT_EQ(press(row.decrypt), Result::ok);
  EXPECT_EQ(read(), original_);
}

TEST_P(ButtonPress, RudeButtonsTransformWithoutARecord) {
  const ButtonRow& row = GetParam();
  write(original_);
  ASSERT_EQ(press(row.encrypt_rude), Result::ok);
  EXPECT_EQ(read(), transformed(row.way, encrypted));
  write(original_);
  ASSERT_EQ(press(row.decrypt_rude), Result::ok);
  EXPECT_EQ(read(), transformed(row.way, decrypted));
}

INSTANTIATE_TEST_SUITE_P(EveryRow, ButtonPress, ::testing::ValuesIn(kButtonRows),
                         [](const ::testing::TestParamInfo<ButtonRow>& param) {
                           return "Way" + std::to_string(param.param.way);
                         });

TEST(OperationTable, HasSixteenDistinctButtons) {
  std::set<int> ids;
  for (const Operation& operation : kOperations) ids.insert(operation.control_id);
  EXPECT_EQ(ids.size(), 16u);
}

TEST(OperationTable, OtherControlsRunNoOperation) {
  // Path field, usage, factor field, chooser, peek, OK, Cancel, no id.
  for (int id : {IDC_PATH, IDC_USAGE, IDC_FACTOR, IDC_BROWSE, IDC_PEEK, 1, 2, -1, 0, 1021}) {
    EXPECT_EQ(find_operation(id), nullptr) << id;
  }
}

TEST(Requests, TheFactorFieldIsReadAsTypedAndQuotedAsTyped) {
  const OneFile one = one_file_request(find_operation(IDC_WAY1_EN), "a", " 300x");
  EXPECT_EQ(one.factor, 300);
  EXPECT_EQ(one.factor_text, " 300x");
  const OneFile peek = one_file_request(nullptr, "a", "7");
  EXPECT_EQ(peek.keyword, Keyword::peek);
  const ManyFiles many = many_files_request(find_operation(IDC_WAY3_DE), {"d"}, "");
  EXPECT_TRUE(many.recursive);
  EXPECT_EQ(many.factor, 0);
}

class PathExists : public ::testing::Test {
 protected:
  void SetUp() override {
    std::remove(kFile);
    std::FILE* file = std::fopen(kFile, "wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    make_directory(kDirectory);
  }
  void TearDown() override { std::remove(kFile); }
  static constexpr const char* kFile = "dialog_logic_exists.bin";
  static constexpr const char* kDirectory = "dialog_logic_exists_dir";
};

TEST_F(PathExists, FileAndDirectoryPass) {
  EXPECT_TRUE(path_exists(kFile));
  EXPECT_TRUE(path_exists(kDirectory));
}

TEST_F(PathExists, MissingAndEmptyFail) {
  EXPECT_FALSE(path_exists("dialog_logic_no_such_file.bin"));
  EXPECT_FALSE(path_exists(""));
  EXPECT_FALSE(path_exists(nullptr));
}

struct CloseCase {
  const char* name;
  std::string text;
  bool accepted;
  std::int32_t value;
};

const CloseCase kCloseCases[] = {
    {"Empty", "", false, 0},
    {"Zero", "0", true, 0},
    {"ZeroZero", "00", true, 0},
    {"Plain", "42", true, 42},
    {"AboveFactorRange", "999", true, 999},
    {"Blanks", " \t42\t ", true, 42},
    {"OnlyBlanks", "   ", false, 0},
    {"BlankInside", "4 2", false, 0},
    {"Letters", "abc", false, 0},
    {"TrailingLetters", "12abc", false, 0},
    {"Negative", "-5", true, -5},
    {"Plus", "+7", true, 7},
    // Converts to 0 without starting with the digit 0.
    {"MinusZero", "-0", false, 0},
    {"PlusZero", "+0", false, 0},
    {"Hex", "0x1A", false, 0},
    {"Saturates", "99999999999", true, INT32_MAX},
    {"SaturatesLow", "-99999999999", true, INT32_MIN},
    // Only the first 31 characters count: a letter at the 32nd is not seen,
    // one at the 31st is.
    {"LetterAt32", "1" + std::string(30, ' ') + "x", true, 1},
    {"LetterAt31", "1" + std::string(29, ' ') + "x", false, 0},
    {"DigitsCutAt31", std::string(31, '0') + "5", true, 0},
};

class CloseCheck : public ::testing::TestWithParam<CloseCase> {};

TEST_P(CloseCheck, FollowsTheNumberRule) {
  const CloseCase& c = GetParam();
  std::int32_t value = -12345;
  EXPECT_EQ(parse_close_factor(c.text.c_str(), value), c.accepted) << '"' << c.text << '"';
  if (c.accepted) {
    EXPECT_EQ(value, c.value);
  }
}

INSTANTIATE_TEST_SUITE_P(Texts, CloseCheck, ::testing::ValuesIn(kCloseCases),
                         [](const ::testing::TestParamInfo<CloseCase>& param) {
                           return std::string(param.param.name);
                         });

TEST(DefaultFactor, EdgesOfTheDraw) {
  EXPECT_EQ(default_factor_from(0), 1);
  EXPECT_EQ(default_factor_from(1), 2);
  EXPECT_EQ(default_factor_from(254), 255);
  EXPECT_EQ(default_factor_from(255), 1);
  EXPECT_EQ(default_factor_from(509), 255);
}

TEST(DefaultFactor, EveryDrawOfTheGeneratorLiesInRangeAndAllValuesOccur) {
  std::set<int> seen;
  for (int draw = 0; draw <= 70000; ++draw) {
    int factor = default_factor_from(draw);
    ASSERT_GE(factor, kFactorMin) << draw;
    ASSERT_LE(factor, kFactorMax) << draw;
    seen.insert(factor);
  }
  EXPECT_EQ(seen.size(), 255u);
  int top = default_factor_from(RAND_MAX);
  EXPECT_GE(top, 1);
  EXPECT_LE(top, 255);
}

TEST(Quotes, OnlyAPairAroundThePathGoes) {
  using View = std::string_view;
  EXPECT_EQ(without_quotes(View("\"C:\\a b\\c.txt\"")), View("C:\\a b\\c.txt"));
  for (View kept : {"C:\\a.txt", "\"", "\"C:\\a.txt", "a\"b\"", ""})
    EXPECT_EQ(without_quotes(kept), kept);
}

TEST(StartRequest, SwitchesAloneNameTasksAndTheRestArePaths) {
  EXPECT_EQ(parse_start_request({L"--sendto-add"}).task, StartRequest::Task::send_to_add);
  EXPECT_EQ(parse_start_request({L"--sendto-remove"}).task, StartRequest::Task::send_to_remove);
  StartRequest files = parse_start_request({L"a.txt", L"\"b c.txt\"", L"--sendto-add"});
  EXPECT_EQ(files.task, StartRequest::Task::show_dialog);
  EXPECT_EQ(files.paths, (std::vector<std::wstring>{L"a.txt", L"b c.txt", L"--sendto-add"}));
  EXPECT_TRUE(parse_start_request({}).paths.empty());
}

TEST(ManyFiles, FieldListAndChooserAnswer) {
  using Paths = std::vector<std::wstring>;
  EXPECT_EQ(paths_in_field(L"\"C:\\a b\" \"c\""), (Paths{L"C:\\a b", L"c"}));
  EXPECT_EQ(paths_in_field(L"\"a\" \"b\" c"), Paths{L"\"a\" \"b\" c"});
  EXPECT_EQ(chosen_files(L"C:\\d\0a\0b c\0"), (Paths{L"C:\\d\\a", L"C:\\d\\b c"}));
}

}  // namespace
}  // namespace tavo::dialog
