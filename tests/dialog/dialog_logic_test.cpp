// The dialog's window-free decisions: which command each button runs, the
// vectors it builds, the existence test, the close check and the default
// factor. Expected values are written out from the button table and the
// number rule, not taken from the code.
#include "dialog_logic.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

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

struct ButtonCase {
  int control_id;
  const char* keyword;
  const char* way;
};

// Row by row as the dialog shows them: way 4, 3, 2, 1; in each row encrypt,
// decrypt, encrypt rude, decrypt rude.
// clang-format off
const ButtonCase kButtonCases[] = {
    {IDC_WAY4_EN, "en", "4"}, {IDC_WAY4_DE, "de", "4"}, {IDC_WAY4_RXEN, "rxen", "4"}, {IDC_WAY4_RXDE, "rxde", "4"},
    {IDC_WAY3_EN, "en", "3"}, {IDC_WAY3_DE, "de", "3"}, {IDC_WAY3_RXEN, "rxen", "3"}, {IDC_WAY3_RXDE, "rxde", "3"},
    {IDC_WAY2_EN, "en", "2"}, {IDC_WAY2_DE, "de", "2"}, {IDC_WAY2_RXEN, "rxen", "2"}, {IDC_WAY2_RXDE, "rxde", "2"},
    {IDC_WAY1_EN, "en", "1"}, {IDC_WAY1_DE, "de", "1"}, {IDC_WAY1_RXEN, "rxen", "1"}, {IDC_WAY1_RXDE, "rxde", "1"},
};
// clang-format on

class OperationButton : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(OperationButton, RunsItsKeywordAndWay) {
  const ButtonCase& expected = GetParam();
  const Operation* operation = find_operation(expected.control_id);
  ASSERT_NE(operation, nullptr);
  EXPECT_EQ(operation->control_id, expected.control_id);
  EXPECT_STREQ(operation->keyword, expected.keyword);
  EXPECT_STREQ(operation->way, expected.way);
}

TEST_P(OperationButton, BuildsTheFiveElementVector) {
  const ButtonCase& expected = GetParam();
  std::string path = "C:\\docs\\report.doc";
  std::string factor = "42";
  ArgumentVector vector =
      operation_vector(*find_operation(expected.control_id), path.c_str(), factor.c_str());
  ASSERT_EQ(vector.count, 5);
  EXPECT_STREQ(vector.items[0], "tavo");
  // The fields' buffers are passed as they stand, not copied.
  EXPECT_EQ(vector.items[1], path.c_str());
  EXPECT_STREQ(vector.items[2], expected.keyword);
  EXPECT_STREQ(vector.items[3], expected.way);
  EXPECT_EQ(vector.items[4], factor.c_str());
}

INSTANTIATE_TEST_SUITE_P(AllSixteen, OperationButton, ::testing::ValuesIn(kButtonCases),
                         [](const ::testing::TestParamInfo<ButtonCase>& param) {
                           return "Button" + std::to_string(param.param.control_id);
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

TEST(PeekVector, HasThreeElements) {
  std::string path = "data.bin";
  ArgumentVector vector = peek_vector(path.c_str());
  ASSERT_EQ(vector.count, 3);
  EXPECT_STREQ(vector.items[0], "tavo");
  EXPECT_EQ(vector.items[1], path.c_str());
  EXPECT_STREQ(vector.items[2], "x=xxx");
}

TEST(EmptyFields, PassThroughUnchanged) {
  ArgumentVector vector = operation_vector(*find_operation(IDC_WAY1_RXEN), "", "");
  EXPECT_STREQ(vector.items[1], "");
  EXPECT_STREQ(vector.items[4], "");
}

TEST(UsageButton, NamesTheProgramRxende) { EXPECT_STREQ(kUsageProgramName, "rxende"); }

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

TEST(FailureReasons, LinesWithoutTheProgramName) {
  EXPECT_EQ(failure_reasons("tavo: C:\\a.txt: too short to hold a record\r\n"
                            "tavo: b: no valid record at its end\r\n"),
            "C:\\a.txt: too short to hold a record\nb: no valid record at its end");
  EXPECT_EQ(failure_reasons(""), "");
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
