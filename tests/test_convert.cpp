// Sample-file conversion: the text reader, the lane map's byte order and the refusals, and the
// library against a plain reading of the conversion's rules (fuzz/convert_oracle.h).
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/convert_oracle.h"
#include "pattern/pattern.h"
#include "support.h"

namespace {

using namespace std::string_literals;

Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

class ConvertTest : public ::testing::Test {
 protected:
  // A directory of each test's own: the tests may run side by side.
  std::string dir = ::testing::TempDir() + "vrx5200_convert_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
  std::string input = dir + "/samples.txt";
  std::string output = dir + "/DAC_test.bin";
  std::vector<int32_t> multipliers = std::vector<int32_t>(4096, 1);
  void SetUp() override {
    std::filesystem::create_directories(dir);
    std::filesystem::remove(output);
  }
  void TearDown() override { remove_if_passed(dir); }
  int32_t convert(bool offset, const std::vector<int32_t>& map, int32_t columns,
                  const char* delimiters = ",", const std::string* path = nullptr) {
    const std::string& in = path ? *path : input;
    auto f = offset ? VRX5200BrdCtrl_Offset_BinRep : VRX5200BrdCtrl_Twos_Complement;
    return f(in.c_str(), delimiters, dir.c_str(), multipliers.data(), map.data(),
             static_cast<int32_t>(map.size()), columns);
  }
};

TEST_F(ConvertTest, OffsetBinaryAndTwosComplement) {
  write_text(input, "100\n-100\n");
  EXPECT_EQ(convert(true, {-1, 1}, 1), 2);
  EXPECT_EQ(read_file(output), (Bytes{0x64, 0x80, 0x9C, 0x7F}));
  EXPECT_EQ(convert(false, {-1, 1}, 1), 2);
  EXPECT_EQ(read_file(output), (Bytes{0x64, 0x00, 0x9C, 0xFF}));
}

TEST_F(ConvertTest, ColumnsDelimitersAndMissingColumns) {
  write_text(input, "1,2\n3,4\n");
  EXPECT_EQ(convert(false, {-1, 1, -2, 2}, 2), 2);
  EXPECT_EQ(read_file(output), (Bytes{1, 0, 2, 0, 3, 0, 4, 0}));

  write_text(input, "  ,,7 ;; 8x\n5\n");  // leading delimiters, runs, trailing characters
  EXPECT_EQ(convert(true, {-1, 1, -2, 2}, 2, ",; "), 2);
  EXPECT_EQ(read_file(output), (Bytes{7, 0x80, 8, 0x80, 5, 0x80, 0, 0x80}));

  write_text(input, "1 2\n3 4\n");
  std::remove(output.c_str());
  EXPECT_EQ(convert(false, {-1, 1, -2, 2}, 2), -1);  // no comma anywhere
  EXPECT_FALSE(std::ifstream(output).good());
  EXPECT_EQ(convert(false, {-1, 1}, 1), 2);  // one column needs no delimiter
  EXPECT_EQ(read_file(output), (Bytes{1, 0, 3, 0}));
}

TEST_F(ConvertTest, PicksWalkTheirOwnRows) {
  write_text(input, "1\n2\n3\n4\n");
  EXPECT_EQ(convert(false, {-1, 1, -1, 1}, 1), 4);
  EXPECT_EQ(read_file(output), (Bytes{1, 0, 2, 0, 3, 0, 4, 0}));
  EXPECT_EQ(convert(false, {1, -1}, 1), 4);  // high byte first
  EXPECT_EQ(read_file(output), (Bytes{0, 1, 0, 2, 0, 3, 0, 4}));
}

TEST_F(ConvertTest, MultipliersForVrxFiles) {
  std::string text;
  for (int i = 0; i < 4099; ++i) text += "10\n";
  const std::string vrx = dir + "/wave.vrx.txt";
  write_text(vrx, text);
  write_text(input, text);
  multipliers[1] = -1;
  ASSERT_EQ(convert(false, {-1, 1}, 1, ",", &vrx), 4099);
  const Bytes out = read_file(output);
  auto value = [&](size_t line) {
    return static_cast<int16_t>(out[2 * line] | out[2 * line + 1] << 8);
  };
  EXPECT_EQ(value(0), 10);
  EXPECT_EQ(value(1), -10);
  EXPECT_EQ(value(4096), 10);
  EXPECT_EQ(value(4097), -10);
  ASSERT_EQ(convert(false, {-1, 1}, 1), 4099);  // same text, no ".vrx": not scaled
  EXPECT_EQ(read_file(output)[3], 0);
}

TEST_F(ConvertTest, LineLimitsAndEndOfFile) {
  write_text(input, std::string("2").append(98, '1').append("\n"));  // 100 characters with '\n'
  EXPECT_EQ(convert(false, {-1, 1}, 1), 2);  // parsed as a 79-character line and the rest

  write_text(input, "");
  EXPECT_EQ(convert(false, {-1, 1}, 1), 0);
  EXPECT_TRUE(std::ifstream(output).good());
  EXPECT_TRUE(read_file(output).empty());
  EXPECT_EQ(convert(false, {-1, 1, -2, 2}, 2), -1);

  write_text(input, "42");  // no terminator: the first read already meets the end
  EXPECT_EQ(convert(false, {-1, 1}, 1), 0);
  write_text(input, "1\n2");
  EXPECT_EQ(convert(false, {-1, 1}, 1), 1);
  write_text(input, "abc\n\n");  // no digits: 0
  EXPECT_EQ(convert(true, {-1, 1}, 1), 2);
  EXPECT_EQ(read_file(output), (Bytes{0, 0x80, 0, 0x80}));
}

TEST_F(ConvertTest, BadInputsAreRefused) {
  write_text(input, "1,2\n");
  EXPECT_EQ(convert(false, {}, 2), -2);
  EXPECT_EQ(convert(false, std::vector<int32_t>(5121, 1), 1), -2);
  EXPECT_EQ(convert(false, {-1, 1}, 0), -2);
  EXPECT_EQ(convert(false, std::vector<int32_t>(22, -1), 11), -2);
  EXPECT_EQ(convert(false, {-1, 0}, 1), -2);
  EXPECT_EQ(convert(false, {-1, 11}, 1), -2);
  EXPECT_EQ(convert(false, {-1, -1}, 1), -2);  // would read past the lines of a chunk
  EXPECT_EQ(VRX5200BrdCtrl_Twos_Complement(nullptr, ",", dir.c_str(), nullptr, nullptr, 1, 1), -2);

  const std::string missing = dir + "/missing.txt";
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",", &missing), -3);
  write_text(input, "1\n,,,\n2\n");
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",\n"), -5);  // a line of delimiters only

  write_text(input, "1\n");
  const std::string long_dir(4096, 'd');
  EXPECT_EQ(VRX5200BrdCtrl_Twos_Complement(input.c_str(), ",", long_dir.c_str(), nullptr,
                                           std::vector<int32_t>{-1, 1}.data(), 2, 1),
            -4);
  EXPECT_EQ(VRX5200BrdCtrl_Twos_Complement(input.c_str(), ",", "/nonexistent-dir", nullptr,
                                           std::vector<int32_t>{-1, 1}.data(), 2, 1),
            -4);
}

// Every refusal leaves the pattern file of the last conversion byte for byte as it was, and no
// other file behind; a conversion that succeeds replaces it, and a later refusal keeps that one.
TEST_F(ConvertTest, RefusalsLeaveThePreviousPatternFileAsItWas) {
  const std::string not_a_file = dir + "/sub";
  std::filesystem::create_directories(not_a_file + "/DAC_test.bin");
  const std::string text_input = dir + "/in.txt";
  struct Case {
    const char* what;
    std::string text;  // the input's contents, or "DIR" for an input that is a directory
    std::vector<int32_t> map;
    int32_t columns;
    const char* delimiters;
    int32_t code;
  };
  const std::vector<Case> cases = {
      {"a line of delimiters only", "1,2\n3,4\n,,,\n5,6\n", {-1, 1, -2, 2}, 2, ",\n", -5},
      {"a line of delimiters only, past a chunk",
       [] {
         std::string t;
         for (int i = 0; i < 3000; ++i) t += std::to_string(i) + "\n";
         return t + " \n";
       }(),
       {-1, 1},
       1,
       " \n",
       -5},
      {"an input that is a directory", "DIR", {-1, 1}, 1, ",", -3},
      {"no delimiter in a two-column file", "1 2\n", {-1, 1, -2, 2}, 2, ",", -1},
      {"the delimiter only after a NUL", "1\0,2\n"s, {-1, 1, -2, 2}, 2, ",", -1},
      {"a lane map entry of 0", "1\n", {-1, 0}, 1, ",", -2},
      {"a pick that would read past the chunk", "1\n", {-1, -1}, 1, ",", -2},
      {"eleven columns", "1\n", std::vector<int32_t>(22, 1), 11, ",", -2},
  };
  const Bytes previous = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
  auto others = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (name != "DAC_test.bin" && name != "in.txt" && name != "sub") names.push_back(name);
    }
    return names;
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(text_input);
    if (c.text == "DIR") {
      std::filesystem::create_directories(text_input);
    } else {
      write_text(text_input, c.text);
    }
    write_text(output, std::string(previous.begin(), previous.end()));
    for (bool offset : {false, true}) {
      EXPECT_EQ(convert(offset, c.map, c.columns, c.delimiters, &text_input), c.code) << c.what;
      EXPECT_EQ(read_file(output), previous) << c.what;
      EXPECT_TRUE(others().empty()) << c.what << ": left " << others().front();
    }
  }
  // A target that is a directory is not replaced: refused as an output that cannot be created.
  write_text(text_input, "1\n");
  EXPECT_EQ(VRX5200BrdCtrl_Twos_Complement(text_input.c_str(), ",", not_a_file.c_str(), nullptr,
                                           std::vector<int32_t>{-1, 1}.data(), 2, 1),
            -4);
  EXPECT_TRUE(std::filesystem::is_directory(not_a_file + "/DAC_test.bin"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(not_a_file),
                          std::filesystem::directory_iterator()),
            1);
  // Success replaces the file; the next refusal keeps what the success wrote.
  write_text(text_input, "1\n2\n");
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",", &text_input), 2);
  EXPECT_EQ(read_file(output), (Bytes{1, 0, 2, 0}));
  write_text(text_input, "3\n,\n");
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",\n", &text_input), -5);
  EXPECT_EQ(read_file(output), (Bytes{1, 0, 2, 0}));
  EXPECT_TRUE(others().empty());
  // The input may be the pattern file itself: it is read whole before it is replaced.
  write_text(output, "7\n8\n");
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",", &output), 2);
  EXPECT_EQ(read_file(output), (Bytes{7, 0, 8, 0}));
#if !defined(_WIN32)
  // The replaced file keeps its permissions; a pattern file that is a link to a file elsewhere
  // stays a link, and the file it names gets the pattern.
  namespace fs = std::filesystem;
  fs::permissions(output, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  write_text(text_input, "1\n");
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",", &text_input), 1);
  EXPECT_EQ(fs::status(output).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::string elsewhere = not_a_file + "/real.bin";
  write_text(elsewhere, "old");
  fs::remove(output);
  fs::create_symlink(elsewhere, output);
  EXPECT_EQ(convert(false, {-1, 1}, 1, ",", &text_input), 1);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(output)));
  EXPECT_EQ(read_file(elsewhere), (Bytes{1, 0}));
  EXPECT_EQ(std::distance(fs::directory_iterator(not_a_file), fs::directory_iterator()), 2);
  fs::remove(output);
#endif
}

TEST_F(ConvertTest, LaneMapEntriesAtTheEndsOfInt32AreRefused) {
  write_text(input, "1\n2\n");
  for (const std::vector<int32_t>& map :
       std::vector<std::vector<int32_t>>{{INT32_MIN, 1},
                                         {-1, INT32_MIN},
                                         {INT32_MAX, -1},
                                         {-1, -INT32_MAX},
                                         {INT32_MIN + 10, 1},
                                         {-1, 1, INT32_MIN, INT32_MIN}}) {
    EXPECT_EQ(convert(false, map, 1), -2) << map[0] << " " << map[1];
    EXPECT_FALSE(std::filesystem::exists(output));
  }
}

// Inputs at the edges of the line reader and the token rules, with maps of every kind: the
// library converts them as the plain reading of the rules does, byte for byte.
TEST_F(ConvertTest, MatchesAPlainReadingOfTheRules) {
  struct Case {
    const char* what;
    std::string text;
    std::string delimiters;
    std::vector<int32_t> map;
    int32_t columns;
    bool vrx = false;
  };
  auto repeat = [](const std::string& piece, size_t n) {
    std::string text;
    for (size_t i = 0; i < n; ++i) text += piece;
    return text;
  };
  // Lines of 78, 79 and 80 characters, '\n' included, and the same without it.
  auto line_of = [](size_t length, bool newline) {
    std::string line =
        std::string("-123,").append(length - 5 - (newline ? 4 : 0), ',') + (newline ? "456\n" : "");
    return line.substr(0, length);
  };
  std::string edges;
  for (size_t length : {77u, 78u, 79u, 80u, 81u, 158u, 159u}) {
    edges += line_of(length, true) + line_of(length, false) + "\n";
  }
  std::string numbered;
  for (int i = 0; i < 5000; ++i)
    numbered += std::to_string(i * 37 - 9000) + "," + std::to_string(i) + "\n";
  const std::vector<int32_t> words = {-1, 1}, pairs = {-1, 1, -2, 2};
  const std::vector<Case> cases = {
      {"one long line", repeat("1,-2,", 100000) + "\n" + "3,4\n", ",", pairs, 2},
      {"long line, no newline at all", repeat("12,34,", 50000), ",", pairs, 2},
      {"carriage returns only", repeat("12,-34\r", 30000) + "\n", ",", pairs, 2},
      {"carriage return line ends", repeat("-7,8\r\n", 100), ",", pairs, 2},
      {"long runs of digits",
       repeat("9", 300) + "\n-" + repeat("0", 100) + "42\n" +
           "4294967296,4294967297\n-2147483648,2147483648\n",
       ",", pairs, 2},
      {"long runs of delimiters", repeat(",", 200) + "5\n" + repeat(";,", 70) + "6,7\n", ",;",
       pairs, 2},
      {"lines at the 79-character limit", edges, ",", pairs, 2},
      {"NULs inside lines", "1\0,2\n3,\0 4\n5,6\0\n\0\n"s, ",", pairs, 2},
      {"NUL at a line's start", "1,2\n\0,3\n"s, ",", pairs, 2},
      {"delimiters only after NULs", "1\0,2\n3\0,4\n"s, ",", pairs, 2},
      {"a delimiter after a NUL, then one in a later line", "1\0,2\n3,4\n"s, ",", pairs, 2},
      {"a delimiter past 79 characters of NULs",
       std::string(78, '\0') + "1,2\n" + std::string(79, '\0') + ",\n", ",", pairs, 2},
      {"no delimiters, every line's text empty", "\0 1 2\n\0\n"s, "", pairs, 2},
      {"no delimiters, one line with text", "\0 1 2\n 3\n"s, "", pairs, 2},
      {"signs and white space", " -12, +7 ,- 3,+-4\n\t9 , \v\f-0\n+,-\n", ",", pairs, 2},
      {"digits as delimiters", "1203405\n-98076\n", "0", pairs, 2},
      {"signs as delimiters", "1-2+3\n-4--5\n+6\n", "-+", pairs, 2},
      {"space as the delimiter", "  1   2  \n3 4\n", " ", pairs, 2},
      {"newline as a delimiter", "1,2\n,,\n3\n", ",\n", pairs, 2},
      {"newline token", "1,2\n,\n3,\n", ",", pairs, 2},
      {"no delimiters at all", "17\n-3\n", "", words, 1},
      {"missing final newline", "1,2\n3,4", ",", pairs, 2},
      {"last line of 79 characters without newline", "1,2\n" + line_of(79, false), ",", pairs, 2},
      {"only a partial line", "42", ",", words, 1},
      {"empty file", "", ",", words, 1},
      {"not delimited", "1 2\n", ",", pairs, 2},
      {"scaled", numbered, ",", pairs, 2, true},
      {"scaled, one column", numbered, ",", words, 1, true},
      {"picks named twice across chunks", numbered, ",", {-1, 1, -1, 1}, 1},
      {"high bytes first, columns swapped", numbered, ",", {2, -2, 1, -1}, 2},
      {"more lanes than picks", numbered, ",", {-1, 1, -2, 2, 1, -1}, 2},
      {"a column past those read", numbered, ",", {-5, 5, -1, 1}, 1},
      {"three columns", "1,2,3\n4,5\n7,8,9,10\n", ",", {-3, 3, -2, 2, -1, 1}, 3},
      {"ten columns",
       repeat("1,2,3,4,5,6,7,8,9,10,11\n", 30),
       ",",
       {-10, 10, -9, 9, -8, 8, -7, 7, -6, 6, -5, 5, -4, 4, -3, 3, -2, 2, -1, 1},
       10},
      {"delimiters only", "1\n,,,\n2\n", ",\n", words, 1},
      {"the largest map", numbered, ",", std::vector<int32_t>(5120, 1), 1},
  };
  std::vector<int32_t> varied(4096);
  for (size_t i = 0; i < varied.size(); ++i) {
    varied[i] = static_cast<int32_t>(i % 5 == 0 ? 0x10001u * static_cast<uint32_t>(i) : i % 9) - 4;
  }
  multipliers = varied;
  for (const Case& c : cases) {
    const std::string path = dir + (c.vrx ? "/wave.vrx.txt" : "/samples.txt");
    write_text(path, c.text);
    for (bool offset : {false, true}) {
      std::filesystem::remove(output);
      const int32_t result = convert(offset, c.map, c.columns, c.delimiters.c_str(), &path);
      const convert_oracle::Expected expected = convert_oracle::convert(
          c.text, path, c.delimiters.c_str(), multipliers.data(), c.map.data(),
          static_cast<int32_t>(c.map.size()), c.columns, offset);
      EXPECT_EQ(result, expected.result) << c.what;
      if (result >= 0) {
        EXPECT_EQ(read_file(output), expected.bytes) << c.what;
      }
    }
  }
}

TEST(ConvertParse, LineParsing) {
  const vrx::Delimiters commas(",");
  struct Case {
    std::string line;
    bool token;
    size_t length;
    int32_t a, b, c;
  };
  for (const Case& c :
       {Case{"1,2,3\n", true, 6, 1, 2, 3}, Case{",,-5,+6\n", true, 8, -5, 6, 0},
        Case{" 12 ,x\n", true, 7, 12, 0, 0}, Case{"\n", true, 1, 0, 0, 0},
        Case{",,,", false, 3, 0, 0, 0}, Case{"99999999999,1", true, 13, 1215752191, 1, 0},
        Case{"7,8\n9,10\n", true, 4, 7, 8, 0}, Case{"4\0,5\n6"s, true, 5, 4, 0, 0},
        Case{std::string(78, ',') + "5\n", true, 79, 5, 0, 0},
        Case{std::string(79, ',') + "5\n", false, 79, 0, 0, 0},
        Case{std::string("-").append(77, '0').append("12"), true, 79, -1, 0, 0}}) {
    int32_t row[3] = {-1, -1, -1};
    bool token = false;
    EXPECT_EQ(vrx::parse_line(c.line.data(), c.line.size(), commas, 3, row, token), c.length)
        << c.line;
    EXPECT_EQ(token, c.token) << c.line;
    if (c.token) {
      EXPECT_EQ(row[0], c.a) << c.line;
      EXPECT_EQ(row[1], c.b) << c.line;
      EXPECT_EQ(row[2], c.c) << c.line;
    }
  }
}

}  // namespace
