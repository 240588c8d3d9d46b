// Sample-file conversion: the text reader, the lane map's byte order and the refusals.
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "pattern/pattern.h"
#include "support.h"

namespace {

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
  std::string dir = ::testing::TempDir() + "vrx5200_convert";
  std::string input = dir + "/samples.txt";
  std::string output = dir + "/DAC_test.bin";
  std::vector<int32_t> multipliers = std::vector<int32_t>(4096, 1);
  void SetUp() override {
    std::filesystem::create_directories(dir);
    std::filesystem::remove(output);
  }
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
  write_text(input, std::string(98, '1').insert(0, "2") + "\n");  // 100 characters with '\n'
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

TEST(ConvertParse, LineParsing) {
  const vrx::Delimiters commas(",");
  struct Case {
    std::string line;
    bool token;
    int32_t a, b, c;
  };
  for (const Case& c :
       {Case{"1,2,3\n", true, 1, 2, 3}, Case{",,-5,+6\n", true, -5, 6, 0},
        Case{" 12 ,x\n", true, 12, 0, 0}, Case{"\n", true, 0, 0, 0}, Case{",,,", false, 0, 0, 0},
        Case{"99999999999,1", true, 1215752191, 1, 0}}) {
    int32_t row[3] = {-1, -1, -1};
    std::string line = c.line;
    EXPECT_EQ(vrx::parse_line(line.data(), line.size(), commas, 3, row), c.token) << c.line;
    if (c.token) {
      EXPECT_EQ(row[0], c.a) << c.line;
      EXPECT_EQ(row[1], c.b) << c.line;
      EXPECT_EQ(row[2], c.c) << c.line;
    }
  }
}

}  // namespace
