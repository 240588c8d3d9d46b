// The vrx5200 tool run as a user runs it: exit codes, output files byte-exact against the
// simulated board's signal, and the messages for a missing board, a bad file and a bad argument.
#include <sys/wait.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "support.h"

#ifndef VRX5200_TOOL
#error "the tests need the tool's path"
#endif

namespace {

struct ToolRun {
  int exit_code;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class ToolTest : public ::testing::Test {
 protected:
  // A directory of this test's own: the tests run side by side in separate processes.
  std::string dir = ::testing::TempDir() + "vrx5200_tool_" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name();
  void SetUp() override { ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0); }
  ToolRun run(const std::string& args) {
    const std::string out = dir + "/stdout", err = dir + "/stderr";
    const std::string cmd =
        "cd '" + dir + "' && '" VRX5200_TOOL "' " + args + " >'" + out + "' 2>'" + err + "'";
    const int status = std::system(cmd.c_str());
    return ToolRun{WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(out), slurp(err)};
  }
  // The simulated board's first capture in a fresh process.
  static std::vector<uint16_t> expected_capture(size_t n) {
    sim::Board board("EXPECTED");
    std::vector<uint16_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = board.sample(0, i);
    return out;
  }
};

TEST_F(ToolTest, ListsAndDescribesTheSimulatedBoard) {
  ToolRun r = run("--sim list");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "0 SIM00001\n");
  r = run("--sim info");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "family ID 0x52\nfirmware version 0x13\nbusy 0\n");
  r = run("--sim reg read 0x0E");
  EXPECT_EQ(r.out, "0x13\n");
  EXPECT_EQ(run("--sim reg write 5 0x42").exit_code, 0);
}

TEST_F(ToolTest, CapturesByteExactToRawCsvAndStandardOutput) {
  ToolRun r = run("--sim capture -n 65568 -o raw.bin");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("samples 65568,"), std::string::npos);
  const std::vector<uint16_t> want = expected_capture(65568);
  const std::string raw = slurp(dir + "/raw.bin");
  ASSERT_EQ(raw.size(), 2 * want.size());
  EXPECT_EQ(std::memcmp(raw.data(), want.data(), raw.size()), 0);

  r = run("--sim capture -n 64 --csv -o capture.csv -q");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(r.out.empty());
  std::string csv;
  for (uint16_t s : expected_capture(64)) csv += std::to_string(static_cast<int16_t>(s)) + "\n";
  EXPECT_EQ(slurp(dir + "/capture.csv"), csv);

  r = run("--sim capture -n 32 -o - --lanes 2,1");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::vector<uint16_t> in = expected_capture(32);
  std::vector<uint16_t> swapped(32);
  for (size_t i = 0; i < 32; ++i) swapped[i] = in[i ^ 1];
  ASSERT_EQ(r.out.size(), 64u);
  EXPECT_EQ(std::memcmp(r.out.data(), swapped.data(), 64), 0);
  EXPECT_NE(r.err.find("samples 32"), std::string::npos);  // the summary leaves stdout alone
}

TEST_F(ToolTest, ConvertsAndPlaysIntoTheBoardsMemory) {
  std::ofstream(dir + "/samples.txt") << [] {
    std::string s;
    for (int i = 0; i < 4096; ++i) s += std::to_string(i * 7 - 14000) + "\n";
    return s;
  }();
  ToolRun r = run("--sim play --text samples.txt --verify");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("pattern verified"), std::string::npos);
  r = run("convert samples.txt -d . --twos-complement");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string bin = slurp(dir + "/DAC_test.bin");
  ASSERT_EQ(bin.size(), 8192u);
  EXPECT_EQ(static_cast<int16_t>(static_cast<uint8_t>(bin[2]) | static_cast<uint8_t>(bin[3]) << 8),
            7 - 14000);
}

TEST_F(ToolTest, ErrorsNameTheCodeAndWhatToTry) {
  ToolRun r = run("--sim capture -n 100");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("result 18"), std::string::npos);
  EXPECT_NE(r.err.find("multiple of 32"), std::string::npos);

  r = run("--sim load missing.rbf");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("Could not open programming file #1: \"missing.rbf\""), std::string::npos);
  EXPECT_NE(r.err.find("result 111"), std::string::npos);

  r = run("--sim capture");  // -n is required
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("samples"), std::string::npos);

  r = run("--sim convert samples.txt --lane-map 1,x");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("bad lane map"), std::string::npos);

  // Without --sim the library of attached boards is needed: either it is missing or it finds no
  // board; both say to try --sim.
  r = run("list");
  EXPECT_NE(r.exit_code, 0);
  EXPECT_NE(r.err.find("--sim"), std::string::npos);
}

}  // namespace
