// FPGA configuration over JTAG: the TAP table, the port's pin bytes and stream buffer, the chain
// scan against the device tables, and the configuration flow against the bench's JTAG chain.
#include <cstdio>
#include <fstream>
#include <string>

#include "jtag/jtag.h"
#include "jtag/tables.h"
#include "support.h"

namespace {

using namespace vrx::jtag;
using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// ---- pure ----

TEST(Tap, EveryTablePathFollowsTheStandardGraph) {
  // The standard's graph, written out edge by edge (state, TMS) -> state.
  struct Edge {
    int from, tms, to;
  };
  const Edge edges[] = {
      {kReset, 0, kIdle},         {kReset, 1, kReset},        {kIdle, 0, kIdle},
      {kIdle, 1, kSelectDr},      {kSelectDr, 0, kCaptureDr}, {kSelectDr, 1, kSelectIr},
      {kCaptureDr, 0, kShiftDr},  {kCaptureDr, 1, kExit1Dr},  {kShiftDr, 0, kShiftDr},
      {kShiftDr, 1, kExit1Dr},    {kExit1Dr, 0, kPauseDr},    {kExit1Dr, 1, kUpdateDr},
      {kPauseDr, 0, kPauseDr},    {kPauseDr, 1, kExit2Dr},    {kExit2Dr, 0, kShiftDr},
      {kExit2Dr, 1, kUpdateDr},   {kUpdateDr, 0, kIdle},      {kUpdateDr, 1, kSelectDr},
      {kSelectIr, 0, kCaptureIr}, {kSelectIr, 1, kReset},     {kCaptureIr, 0, kShiftIr},
      {kCaptureIr, 1, kExit1Ir},  {kShiftIr, 0, kShiftIr},    {kShiftIr, 1, kExit1Ir},
      {kExit1Ir, 0, kPauseIr},    {kExit1Ir, 1, kUpdateIr},   {kPauseIr, 0, kPauseIr},
      {kPauseIr, 1, kExit2Ir},    {kExit2Ir, 0, kShiftIr},    {kExit2Ir, 1, kUpdateIr},
      {kUpdateIr, 0, kIdle},      {kUpdateIr, 1, kSelectDr},
  };
  static_assert(sizeof edges / sizeof edges[0] == 32);
  for (const Edge& e : edges) {
    EXPECT_EQ(tap_step(e.from, e.tms), e.to) << kTapNames[e.from] << " TMS " << e.tms;
  }
  // Five TMS-high clocks reach RESET from every state.
  for (int s = 0; s < 16; ++s) {
    int state = s;
    for (int i = 0; i < 5; ++i) state = tap_step(state, 1);
    EXPECT_EQ(state, kReset) << kTapNames[s];
  }
  EXPECT_STREQ(kTapNames[16], "UNDEFINE");
}

TEST(DeviceTables, LookupsAndFamilies) {
  struct Case {
    const char* name;
    int row, family;
  };
  for (const Case c : {Case{"EP4SGX70HF35", 263, 17}, Case{"EP1K10F256", 0, 0},
                       Case{"BYPASS_DEV10", 191, 12}, Case{"EP4CGX150DF31", 370, 20},
                       Case{"EP2AGX45CU17", 319, 19}, Case{"ep4sgx70hf35", -1, 0}}) {
    EXPECT_EQ(find_device(c.name), c.row) << c.name;
    if (c.row >= 0) {
      EXPECT_EQ(family_of(c.row), c.family) << c.name;
    }
  }
  EXPECT_STREQ(kFamilies[family_of(370)].name, "ARRIA II GX");
  EXPECT_EQ(kFamilies[17].preamble, 8532);
}

TEST(DeviceTables, BypassPatternAndHeaderSkip) {
  EXPECT_TRUE(bypass_pattern_ok(0xAA, 1));
  EXPECT_FALSE(bypass_pattern_ok(0xAB, 1));   // a 1 where the bypass bit belongs
  EXPECT_FALSE(bypass_pattern_ok(0x154, 1));  // two bypass bits: two devices
  EXPECT_TRUE(bypass_pattern_ok(0x154, 2));
  EXPECT_TRUE(bypass_pattern_ok(0x55u << 24, 24));
  for (uint32_t id : {0x02080001u, 0x02085FFFu, 0x020B40DDu, 0x020840DDu})
    EXPECT_TRUE(skips_header(id));
  for (uint32_t id : {0x02080000u, 0x02086000u, 0x024200DDu, 0u}) EXPECT_FALSE(skips_header(id));
}

// ---- on the bench ----

class JtagTest : public BenchTest {
 protected:
  std::string file = temp_file("fpga.rbf");

  void SetUp() override {
    BenchTest::SetUp();
    open_board();
    g_port = PortState{};
    g_chain = Chain{};
  }
  // The port as the configuration flow holds it: asynchronous bit-bang, the loader handle set.
  void hold_port() {
    g_port.loader = vrx::g_state.jtag_handle;
    ASSERT_EQ(FT_SetBitMode(g_port.loader, 0xFB, FT_BITMODE_ASYNC_BITBANG), FT_OK);
    bench.clear_calls();
  }
  int jtag() const { return entry_of_port(3); }
  void write_file(const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  Bytes random_bytes(size_t n) {
    Bytes b(n);
    uint32_t x = 12345;
    for (uint8_t& v : b) {
      x = x * 1664525u + 1013904223u;
      v = static_cast<uint8_t>(x >> 24);
    }
    return b;
  }
};

TEST_F(JtagTest, StreamBufferFlushRules) {
  hold_port();
  for (size_t i = 0; i < kStreamSize; ++i) pin_write(0x40, true);
  ASSERT_EQ(writes(jtag()).size(), 1u);  // the full buffer went out at once
  EXPECT_EQ(writes(jtag())[0].size(), kStreamSize);
  EXPECT_EQ(g_port.fill, 0u);
  pin_write(0x00, true);
  EXPECT_EQ(g_port.fill, 1u);

  // Flag clear: an immediate write leaves the queued bytes where they are.
  bench.clear_calls();
  pin_write(0x42, false);
  EXPECT_EQ(writes(jtag()), (std::vector<Bytes>{{0x0A}}));
  EXPECT_EQ(g_port.fill, 1u);

  // Flag set: the queued bytes go first, once.
  g_port.fill = 0;
  for (int i = 0; i < 100; ++i) pin_write(0x01, true);
  g_port.pending = 1;
  bench.clear_calls();
  pin_write(0x00, false);
  pin_write(0x00, false);
  EXPECT_EQ(writes(jtag()), (std::vector<Bytes>{Bytes(100, 0x01), {0x00}, {0x00}}));
  EXPECT_EQ(g_port.pending, 0);

  // Flag set with nothing queued: no block, just the byte.
  g_port.pending = 1;
  bench.clear_calls();
  pin_write(0x00, false);
  EXPECT_EQ(writes(jtag()), (std::vector<Bytes>{{0x00}}));
  EXPECT_EQ(g_port.pending, 0);
}

TEST_F(JtagTest, TapWalksAndShifts) {
  hold_port();
  g_port.tap = kIdle;
  return_to_idle();
  EXPECT_EQ(writes(jtag()).size(), 18u);  // reset (five clocks) and one low
  EXPECT_EQ(g_port.tap, kIdle);
  bench.clear_calls();
  g_port.tap = kUpdateDr;
  return_to_idle();
  EXPECT_EQ(writes(jtag()).size(), 3u);
  // A clock is TCK low, high, low with TMS on pin 3.
  EXPECT_EQ(writes(jtag()), (std::vector<Bytes>{{0x02}, {0x03}, {0x02}}));

  bench.clear_calls();
  g_port.tap = kShiftIr;
  EXPECT_EQ(enter_shift_dr(), 1);
  g_port.tap = kUpdateDr;
  EXPECT_EQ(leave_shift_dr(), 1);
  EXPECT_EQ(bit_shift(0, 0xFFFF, false), 0u);
  g_port.signal = 0;
  EXPECT_EQ(bit_shift(1, 1, true), 0u);
  EXPECT_TRUE(bench.calls(jtag()).empty());
  EXPECT_EQ(g_port.signal, kTdi);  // bit 0 waits on TDI for the exit clock
}

TEST_F(JtagTest, LookupMessagesAndEntries) {
  struct Case {
    const char* name;
    std::string out;
    char action;
    int ir;
    uint32_t idcode;
  };
  const Case cases[] = {
      {"EP4SGX70HF35", "Info: family: STRATIX IV(18)\n", 'P', 10, 0x024200DD},
      {"BYPASS_DEV10", "Warning: Device #1 not supported! Bypassed!\n", 'B', 10, 0},
      {"EP1K10Q208", "Warning: Device #1 not supported! Bypassed!\n", 'B', 10, 0},
      {"ep4sgx70hf35", "", 'B', 0, 0},
      {"EP4CGX150DF31", "Info: family: ARRIA II GX(21)\n", 'P', 10, 0x028040DD},
  };
  for (const Case& c : cases) {
    g_chain = Chain{};
    g_family = 5;
    ASSERT_TRUE(add_entry('P', c.name));
    CaptureStdout();
    device_lookup();
    EXPECT_EQ(GetCapturedStdout(), c.out) << c.name;
    const ChainEntry& e = g_chain.entries[1];
    EXPECT_EQ(e.action, c.action) << c.name;
    EXPECT_EQ(e.ir_length, c.ir) << c.name;
    EXPECT_EQ(e.idcode, c.idcode) << c.name;
    if (c.action == 'B') {
      EXPECT_EQ(g_family, 5) << c.name;
    }
  }
  EXPECT_EQ(g_family, 20);
  g_chain = Chain{};
  for (int i = 0; i < kMaxChain; ++i) ASSERT_TRUE(add_entry('B', "BYPASS_DEV10"));
  EXPECT_FALSE(add_entry('B', "BYPASS_DEV10"));
}

TEST_F(JtagTest, ChainVerificationAgainstTheBench) {
  hold_port();
  add_entry('P', "EP4SGX70HF35");
  device_lookup();
  CaptureStdout();
  EXPECT_EQ(verify_chain(), 0);
  EXPECT_EQ(GetCapturedStdout(),
            "Info: Detected 1 device(s) in chain...\nInfo: Dev1: Altera: 0x24200DD\n");
  EXPECT_EQ(g_port.tap, kIdle);

  // A second device on the bench: two bypass bits where one was expected.
  board().chain.push_back(sim::JtagDevice{});
  CaptureStderr();
  EXPECT_EQ(verify_chain(), 1);
  EXPECT_EQ(GetCapturedStderr(), "Error: JTAG chain broken or #device in chain unmatch!\n");
  board().chain.pop_back();

  // An IDCODE that differs in its version bits.
  board().chain[0].idcode = 0x124200DD;
  CaptureStderr();
  EXPECT_EQ(verify_chain(), 1);
  EXPECT_EQ(GetCapturedStderr(), "Error: Expected 0x24200DD but detected 0x124200DD!\n");

  // TDO stuck high (nothing on the chain drives it): nine bits of ones come back.
  board().chain.clear();
  CaptureStderr();
  EXPECT_EQ(verify_chain(), 1);
  EXPECT_EQ(GetCapturedStderr(), "Error: JTAG chain broken!\nError: Bits unloaded: 0x1FF\n");
  board().chain.push_back(sim::JtagDevice{});

  // A port whose pin reads fail reads TDO low.
  bench.fail("FT_GetBitMode", jtag(), 0, FT_IO_ERROR);
  CaptureStderr();
  EXPECT_EQ(verify_chain(), 1);
  EXPECT_EQ(GetCapturedStderr(), "Error: JTAG chain broken!\nError: Bits unloaded: 0x0\n");
}

TEST_F(JtagTest, LoadConfiguresTheDeviceWithTheExactTranscript) {
  const Bytes bytes = random_bytes(5000);
  write_file(bytes);
  FT_HANDLE old_handle = vrx::g_state.jtag_handle;
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  const std::string expected =
      "Info: family: STRATIX IV(18)\n"
      "dev count 1Info: Detected 1 device(s) in chain...\n"
      "Info: Dev1: Altera: 0x24200DD\n"
      "Info: Configuration setup device #1\n"
      "Info: Programming file #1: \"" +
      file +
      "\" opened...\n"
      "Info: Programming file size: 5000\n"
      "Info: Start configuration process.\nPlease wait...done\n"
      "Info: Checking Status\n"
      "Info: Configuration of device #1 successful...\n";
  EXPECT_EQ(GetCapturedStdout(), expected);

  // The device received the preamble, then the file's bits in order, bit 0 first.
  const sim::JtagDevice& device = board().chain[0];
  const std::vector<uint8_t> bits = device.data_bits();
  ASSERT_GE(bits.size(), bytes.size() * 8);
  for (size_t i = 0; i < bytes.size() * 8; ++i) {
    ASSERT_EQ(bits[i], (bytes[i / 8] >> (i % 8)) & 1) << "bit " << i;
  }
  EXPECT_TRUE(device.configured);

  // Port 3 is back: a new handle in both places, synchronous bit-bang with every pin an output.
  const vrx::BoardRecord& rec = vrx::g_state.boards[0];
  EXPECT_EQ(rec.port[3], vrx::g_state.jtag_handle);
  EXPECT_NE(rec.port[3], old_handle);
  EXPECT_EQ(bench.port(jtag()).mode, FT_BITMODE_SYNC_BITBANG);
  EXPECT_EQ(bench.port(jtag()).mask, 0xFF);
  EXPECT_EQ(bench.port(jtag()).baud, 8000000u);
  // The stream went out in blocks of 10,240 pin bytes.
  const std::vector<Bytes> w = writes(jtag());
  size_t blocks = 0;
  for (const Bytes& b : w) blocks += b.size() == kStreamSize;
  EXPECT_EQ(blocks, (25596 + 5000 * 24) / kStreamSize);
}

// The bench's device is strict where a wrong load could pass: a start-up of fewer clocks than it
// needs, an instruction code it does not know, TDI high while its status cells are read.
TEST_F(JtagTest, TheBenchDeviceRefusesWhatAWrongLoadWouldDo) {
  write_file(random_bytes(64));
  // The flow's 200 clocks in RUN/IDLE, and the one that leaves it, are one too few.
  board().chain[0].startup_needed = 202;
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 113);
  GetCapturedStdout();
  EXPECT_FALSE(board().chain[0].configured);

  // Pin by pin (rising_edge acts in the present state, then follows TMS), from RESET.
  sim::JtagDevice d;
  const auto clock = [&d](std::initializer_list<int> tms, int tdi = 0) {
    for (int t : tms) d.rising_edge(t, tdi);
  };
  const auto load_ir = [&](uint32_t code) {
    clock({0, 1, 1, 0, 0});  // RUN/IDLE, SELECT-DR, SELECT-IR, CAPTURE-IR, SHIFT-IR
    for (int i = 0; i < 10; ++i) d.rising_edge(i == 9 ? 1 : 0, static_cast<int>((code >> i) & 1));
    clock({1, 0});  // UPDATE-IR, RUN/IDLE
  };
  d.configured = true;
  load_ir(0x2AA);
  EXPECT_EQ(d.unknown_instructions, 1);
  EXPECT_FALSE(d.configured);

  // The status cell reads 1 under TDI low, 0 once a high bit went in.
  const auto status_bit = [&](int tdi) {
    d.configured = true;
    load_ir(0x004);
    clock({1, 0, 0});  // SELECT-DR, CAPTURE-DR, SHIFT-DR
    const int at = 3 * (d.boundary_length - d.status_position) + 1;
    int bit = 0;
    for (int i = 0; i <= at; ++i) {
      bit = d.tdo();
      d.rising_edge(0, i == 0 ? tdi : 0);
    }
    clock({1, 1, 0});  // EXIT1-DR, UPDATE-DR, RUN/IDLE
    return bit;
  };
  EXPECT_EQ(status_bit(0), 1);
  EXPECT_EQ(status_bit(1), 0);
}

TEST_F(JtagTest, RetriesAndFailures) {
  write_file(random_bytes(64));
  board().chain[0].failing_attempts = {1};
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Warning: Configuration of device #1 NOT successful!\n"
                     "Info: Configuration setup device #1 (Retry# 1)\n"),
            std::string::npos);
  EXPECT_NE(out.find("Info: Configuration of device #1 successful...\n"), std::string::npos);

  board().chain[0].failing_attempts = {3, 4, 5};  // the bench counts attempts across loads
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 113);
  out = GetCapturedStdout();
  EXPECT_NE(out.find("(Retry# 2)"), std::string::npos);
  EXPECT_EQ(out.find("(Retry# 3)"), std::string::npos);
  size_t warnings = 0;
  for (size_t at = 0; (at = out.find("NOT successful", at)) != std::string::npos; ++at) ++warnings;
  EXPECT_EQ(warnings, 3u);
  EXPECT_EQ(bench.port(jtag()).mode, FT_BITMODE_ASYNC_BITBANG);  // not handed back
}

TEST_F(JtagTest, APortThatStopsAnsweringMidLoadIsNoSuccess) {
  write_file(random_bytes(4096));
  // Unplugged while the file streams: pin reads fail (TDO reads low), writes fail.
  bench.arm(600, sim::Bench::Armed::kUnplug);
  CaptureStdout();
  CaptureStderr();
  const uint64_t t0 = bench.now();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 113);
  GetCapturedStdout();
  EXPECT_NE(GetCapturedStderr().find("error: write failed (4)"), std::string::npos);
  EXPECT_FALSE(board().chain[0].configured);
  EXPECT_LT(bench.now() - t0, 100u);

  // Stalled: every write would time out; one time-out per attempt, not one per pin byte.
  VRX5200BrdCtrl_Close_Session();
  bench.replug(0);
  int32_t count = 0, length = 0;
  char keys[64];
  ASSERT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length), 0);
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, count), 0);
  bench.port(jtag()).write_timeout = 1000;
  bench.arm(600, sim::Bench::Armed::kStall);
  CaptureStdout();
  const uint64_t t1 = bench.now();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 113);
  GetCapturedStdout();
  EXPECT_LE(bench.now() - t1, 3 * 1000u + 100);
}

// One pin write lost during an attempt costs that attempt only: the next one starts from a TAP
// reset, in step with the device.
TEST_F(JtagTest, ALostPinWriteCostsOneAttempt) {
  write_file(random_bytes(4096));
  int hits = 0;
  for (uint64_t index = 400; index < 1400; index += 97) {
    board().chain[0] = sim::JtagDevice{};
    bench.arm(index, sim::Bench::Armed::kStatus);
    CaptureStdout();
    CaptureStderr();
    const int32_t r = VRX5200BrdCtrl_Load_Firmware(file.c_str());
    const std::string out = GetCapturedStdout();
    GetCapturedStderr();
    if (bench.armed_hit() != "FT_Write") continue;
    ++hits;
    EXPECT_EQ(r, 20) << "write " << index;
    size_t warnings = 0;
    for (size_t at = 0; (at = out.find("NOT successful", at)) != std::string::npos; ++at) {
      ++warnings;
    }
    EXPECT_LE(warnings, 1u) << "write " << index;
    EXPECT_TRUE(board().chain[0].configured);
  }
  EXPECT_GT(hits, 3);
}

// A close of the JTAG port that fails as the load hands the port back must not lose its handle:
// the port stays open under it, so a later close of the ports closes it and the ports open again.
TEST_F(JtagTest, AFailedCloseAtTheHandBackKeepsThePortsHandle) {
  write_file(random_bytes(64));
  const FT_HANDLE before = vrx::g_state.jtag_handle;
  bench.fail("FT_Close", jtag(), 1, FT_IO_ERROR);
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  GetCapturedStdout();
  EXPECT_TRUE(board().chain[0].configured);
  EXPECT_EQ(vrx::g_state.jtag_handle, before);
  EXPECT_EQ(vrx::g_state.boards[0].port[3], before);
  EXPECT_EQ(bench.port(jtag()).mode, FT_BITMODE_SYNC_BITBANG);  // set up as opening leaves it
  bench.clear_faults();
  // The port still works as the JTAG port.
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  GetCapturedStdout();
  bench.fail("FT_Close", jtag(), 1, FT_IO_ERROR);
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  GetCapturedStdout();
  bench.clear_faults();
  EXPECT_EQ(VRX5200BrdCtrl_Close_Session(), 0);
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p))) << p;
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1), 0);
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  GetCapturedStdout();
}

TEST_F(JtagTest, EarlyExits) {
  const std::string missing = ::testing::TempDir() + "no-such-file.rbf";
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(missing.c_str()), 111);
  EXPECT_EQ(GetCapturedStderr(),
            "Error: Could not open programming file #1: \"" + missing + "\"\n");
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("Info: Configuration setup device #1\n"), std::string::npos);
  EXPECT_EQ(out.find("Retry"), std::string::npos);
  EXPECT_EQ(bench.port(jtag()).mode, FT_BITMODE_ASYNC_BITBANG);

  // A broken chain stops before the file is opened.
  board().chain[0].idcode = 0x0;
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(missing.c_str()), 110);
  GetCapturedStderr();
  EXPECT_EQ(GetCapturedStdout().find("Configuration setup"), std::string::npos);

  // An empty file: size 0, nothing streamed; the device is not configured, three attempts.
  board().chain[0].idcode = 0x024200DD;
  write_file({});
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 113);
  EXPECT_NE(GetCapturedStdout().find("Info: Programming file size: 0\nInfo: Start configuration "
                                     "process.\nPlease wait...done\n"),
            std::string::npos);

  // A directory is a file that cannot be opened, on every system: refused before its size is
  // taken, as a missing file is.
  const std::string dir = ::testing::TempDir();
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(dir.c_str()), 111);
  EXPECT_EQ(GetCapturedStdout().find("Programming file size"), std::string::npos);
  EXPECT_EQ(GetCapturedStderr(), "Error: Could not open programming file #1: \"" + dir + "\"\n");
  // Nothing it queued goes out in front of the next load.
  write_file(random_bytes(64));
  bench.clear_calls();
  CaptureStdout();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 20);
  GetCapturedStdout();
  const std::vector<Bytes> w = writes(jtag());
  ASSERT_FALSE(w.empty());
  EXPECT_EQ(w.front().size(), 1u);

  // Without open ports nothing is driven.
  VRX5200BrdCtrl_Close_Session();
  bench.clear_calls();
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(file.c_str()), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Load_Firmware(nullptr), 101);  // no board comes first
  EXPECT_TRUE(bench.calls().empty());
}

}  // namespace
