// Shared test fixture: a fresh simulated machine for every test, and helpers to read the traffic
// the bench recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "session/state.h"
#include "sim/bench.h"
#include "sim/board.h"
#include "vrx5200_brdctrl.h"

using Bytes = std::vector<uint8_t>;

// A DAC session whose derived rate K is `rate` (factors 8 and 1, divisor 1, control bytes 0).
inline DAC_Session_Params dac_session_params(double rate = 100e6) {
  DAC_Session_Params p{};
  p.Rate = rate;
  p.Rate_Factor_1 = 8;
  p.Rate_Factor_2 = 1;
  p.Rate_Divisor = 1;
  return p;
}

// A file name of this test's own in the temporary directory: tests run side by side in
// separate processes and must not share files.
inline std::string temp_file(const std::string& name) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  return ::testing::TempDir() + test->test_suite_name() + "." + test->name() + "." + name;
}

// Removes a test's own directory at the test's end when it passed; a failed test's files stay
// for a look.
inline void remove_if_passed(const std::string& dir) {
  if (!::testing::Test::HasFailure()) std::filesystem::remove_all(dir);
}

// Decodes the pin bytes written to the command-link port into frames, as a device on the wire
// would see them: 0xF7 opens a frame, 0xFF closes it, each bit is a clock-low/clock-high pair.
inline std::vector<Bytes> frames_on_wire(const Bytes& pins) {
  std::vector<Bytes> frames;
  size_t i = 0;
  while (i < pins.size()) {
    if (pins[i++] != 0xF7) continue;
    Bytes frame;
    while (i + 15 < pins.size() && pins[i] != 0xFF) {
      uint8_t byte = 0;
      for (int k = 0; k < 8; ++k, i += 2)
        byte = static_cast<uint8_t>(byte | ((pins[i + 1] >> 1) & 1) << k);
      frame.push_back(byte);
    }
    frames.push_back(frame);
  }
  return frames;
}

class BenchTest : public ::testing::Test {
 protected:
  sim::Bench& bench = sim::Bench::get();

  void SetUp() override {
    VRX5200BrdCtrl_Close_Session();
    bench.reset();
  }
  void TearDown() override {
    VRX5200BrdCtrl_Close_Session();
    // The test's own files (temp_file) go when it passed.
    const std::string prefix = temp_file("");
    const std::filesystem::path folder = std::filesystem::path(prefix).parent_path();
    std::vector<std::string> own;
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(folder, ec)) {
      if (f.path().string().rfind(prefix, 0) == 0) own.push_back(f.path().string());
    }
    for (const std::string& f : own) remove_if_passed(f);
  }

  // Adds `boards` boards (keys BOARD001, BOARD002, ...), discovers them and opens board 0.
  void open_board(int boards = 1) {
    for (int b = 0; b < boards; ++b) {
      char key[16];
      std::snprintf(key, sizeof key, "BOARD%03d", b + 1);
      bench.add_board(key);
    }
    int32_t count = 0, length = 0;
    char keys[1024];
    ASSERT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length), 0);
    ASSERT_EQ(count, boards);
    ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, count), 0);
    bench.clear_calls();
  }

  int entry_of_port(int port, int board = 0) const { return bench.entry_of(board, port); }
  sim::Board& board(int b = 0) { return bench.board(b); }

  // Names of the calls recorded on an entry, in order.
  std::vector<std::string> names(int e) const {
    std::vector<std::string> out;
    for (const sim::Call& c : bench.calls(e)) out.push_back(c.name);
    return out;
  }
  // Names of the calls other than the queue polls.
  std::vector<std::string> names_without_polls(int e) const {
    std::vector<std::string> out;
    for (const sim::Call& c : bench.calls(e)) {
      if (c.name != "FT_GetQueueStatus") out.push_back(c.name);
    }
    return out;
  }
  // Command-link frames sent to board b since the last clear, decoded from the pins.
  std::vector<Bytes> frames(int b = 0) const {
    return frames_on_wire(bench.written(bench.entry_of(b, 2)));
  }
  // Data of each FT_Write on an entry.
  std::vector<Bytes> writes(int e) const {
    std::vector<Bytes> out;
    for (const sim::Call& c : bench.calls(e, "FT_Write")) out.push_back(c.data);
    return out;
  }
};

inline Bytes repeat(const Bytes& group, int n) {
  // Byte by byte: GCC 12 at -O3 takes the range insert of a small vector for an overflow.
  Bytes out;
  for (int i = 0; i < n; ++i) {
    for (const uint8_t b : group) out.push_back(b);
  }
  return out;
}
