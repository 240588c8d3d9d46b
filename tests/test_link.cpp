// Command link, block transfers and the register commands, checked against the recorded pin
// bytes and the bench's FPGA model.
#include <functional>

#include "link/cmdlink.h"
#include "session/ports.h"
#include "support.h"

namespace {

TEST(CommandLinkCoding, EncodesEachBitAsAClockPair) {
  struct Case {
    uint8_t byte;
    Bytes patterns;
  };
  const Case cases[] = {
      {0xA5,
       {0x76, 0xF7, 0x74, 0xF5, 0x76, 0xF7, 0x74, 0xF5, 0x74, 0xF5, 0x76, 0xF7, 0x74, 0xF5, 0x76,
        0xF7}},
      {0x01,
       {0x76, 0xF7, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74,
        0xF5}},
      {0x80,
       {0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x74, 0xF5, 0x76,
        0xF7}},
  };
  for (const Case& c : cases) {
    Bytes out(16);
    vrx::encode_frame(&c.byte, 1, out.data());
    EXPECT_EQ(out, c.patterns) << int(c.byte);
  }
}

TEST(CommandLinkCoding, DecodesPinTwoOfEverySecondPattern) {
  struct Case {
    uint8_t high_in_second;  // bit k set: pin 2 high in the second pattern of bit k
    uint8_t noise_in_first;  // pin 2 in the first patterns must not matter
    uint8_t reply;
  };
  for (const Case c : {Case{0xFF, 0x00, 0xFF}, Case{0x01, 0xFF, 0x01}, Case{0x00, 0xFF, 0x00},
                       Case{0xA5, 0x5A, 0xA5}}) {
    Bytes returned(32, 0x00);
    for (int k = 0; k < 8; ++k) {
      returned[16 + 2 * k] = static_cast<uint8_t>(((c.noise_in_first >> k) & 1) << 2);
      returned[16 + 2 * k + 1] = static_cast<uint8_t>(0xFB | ((c.high_in_second >> k) & 1) << 2);
    }
    uint8_t reply[2];
    vrx::decode_reply(returned.data(), 2, reply);
    EXPECT_EQ(reply[1], c.reply);
    EXPECT_EQ(reply[0], 0);
  }
}

TEST(CommandLinkCoding, ReplicatesAFrameInPlace) {
  uint8_t buffer[16] = {0x13, 0x7E, 0x03, 0x00};
  vrx::replicate_frame(buffer, 4, buffer);
  EXPECT_EQ(Bytes(buffer, buffer + 16), repeat({0x13, 0x7E, 0x03, 0x00}, 4));
  uint8_t untouched[4] = {1, 2, 3, 4};
  vrx::replicate_frame(untouched, 0, buffer);
  vrx::replicate_frame(untouched, -3, buffer);
  EXPECT_EQ(Bytes(untouched, untouched + 4), (Bytes{1, 2, 3, 4}));
}

class LinkTest : public BenchTest {
 protected:
  void SetUp() override {
    BenchTest::SetUp();
    open_board();
  }
  FT_HANDLE handle(int p) const { return vrx::g_state.boards[0].port[p]; }
  int link() const { return entry_of_port(2); }
  // After a failure: faults off, and one exchange that puts the port back into a known state.
  void settle() {
    bench.clear_faults();
    uint8_t reply[1];
    ASSERT_EQ(vrx::link_exchange(handle(2), nullptr, 0, reply), 0);
    bench.clear_calls();
  }
};

TEST_F(LinkTest, EmptyFrameSendsOnlyOpeningAndClosingBytes) {
  uint8_t reply[8];
  EXPECT_EQ(vrx::link_exchange(handle(2), nullptr, 0, reply), 0);
  EXPECT_EQ(writes(link()), (std::vector<Bytes>{{0xF7}, {0xFF}}));
  const std::vector<sim::Call> reads = bench.calls(link(), "FT_Read");
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_EQ(reads[0].args[0], 1u);
  EXPECT_EQ(reads[1].args[0], 1u);
}

TEST_F(LinkTest, FrameGoesOutInOneWriteAndComesBackInOneRead) {
  const uint8_t frame[2] = {0x0B, 0x00};
  uint8_t reply[2];
  ASSERT_EQ(vrx::link_exchange(handle(2), frame, 2, reply), 0);
  EXPECT_EQ(names_without_polls(link()),
            (std::vector<std::string>{"FT_Write", "FT_Read", "FT_Write", "FT_Read", "FT_Write",
                                      "FT_Read"}));
  EXPECT_EQ(writes(link())[1].size(), 32u);
  EXPECT_EQ(bench.calls(link(), "FT_Read")[1].args[0], 32u);
  EXPECT_EQ(reply[1], 0x52);  // the bench's family ID
  EXPECT_EQ(frames_on_wire(bench.written(link())), (std::vector<Bytes>{{0x0B, 0x00}}));
}

TEST_F(LinkTest, FailuresEndTheExchangeAtTheirStep) {
  const uint8_t frame[4] = {0x12, 0x00, 0x02, 0x00};
  uint8_t reply[4];
  // Patterns only partly accepted: 10, no read-back of the patterns, no closing byte.
  bench.short_write(link(), 2, 10);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), 10);
  EXPECT_EQ(writes(link()).size(), 2u);
  EXPECT_EQ(bench.calls(link(), "FT_Read").size(), 1u);

  // Opening byte refused by the driver (nothing written): the short count wins.
  settle();
  bench.fail("FT_Write", link(), 1, FT_IO_ERROR);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), 10);
  EXPECT_EQ(writes(link()).size(), 1u);

  // A failing queue poll: its status.
  settle();
  bench.fail("FT_GetQueueStatus", link(), 2, FT_IO_ERROR);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), FT_IO_ERROR);

  // Reply bytes short: 8.
  settle();
  bench.short_read(link(), 2, 5);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), 8);

  // A board that stops answering: 9 after 10 s of polling.
  settle();
  bench.silence(link());
  const uint64_t t0 = bench.now();
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), 9);
  EXPECT_EQ(bench.now() - t0, 10001u);
}

TEST_F(LinkTest, OversizedFramesAndBlocksAreRefusedWithoutTraffic) {
  static uint8_t big[vrx::kMaxBlockBytes + 1];
  EXPECT_EQ(vrx::link_exchange(handle(2), big, vrx::kMaxFrameBytes + 1, big), 108);
  EXPECT_EQ(vrx::bulk_read(handle(0), 0, big), 108);
  EXPECT_EQ(vrx::bulk_write(handle(0), 0, big), 108);
  EXPECT_EQ(vrx::bulk_read(handle(0), vrx::kMaxBlockBytes + 1, big), 108);
  EXPECT_TRUE(bench.calls().empty());
  // The largest frame fits.
  static uint8_t reply[vrx::kMaxFrameBytes * 8];
  EXPECT_EQ(vrx::link_exchange(handle(2), big, vrx::kMaxFrameBytes, reply), 0);
}

TEST_F(LinkTest, BulkReadSelectsCommandsFlushesAndDeselects) {
  struct Case {
    uint32_t n;
    uint8_t low, high;
  };
  for (const Case c : {Case{1, 0x00, 0x00}, Case{300, 0x2B, 0x01}, Case{65536, 0xFF, 0xFF}}) {
    bench.clear_calls();
    static uint8_t dest[65536];
    ASSERT_EQ(vrx::bulk_read(handle(0), c.n, dest), 0);
    EXPECT_EQ(writes(entry_of_port(0)),
              (std::vector<Bytes>{
                  {0x80, 0xF7, 0xFB}, {0x28, c.low, c.high}, {0x87}, {0x80, 0xFF, 0xFB}}));
    const std::vector<sim::Call> reads = bench.calls(entry_of_port(0), "FT_Read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].args[0], c.n);
  }
}

TEST_F(LinkTest, BulkWriteSendsHeaderDataAndDeselect) {
  static uint8_t data[65536];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<uint8_t>(i * 7);
  ASSERT_EQ(vrx::bulk_write(handle(1), 65536, data), 0);
  const std::vector<Bytes> w = writes(entry_of_port(1));
  ASSERT_EQ(w.size(), 3u);
  EXPECT_EQ(w[0], (Bytes{0x80, 0xF7, 0xFB, 0x19, 0xFF, 0xFF}));
  EXPECT_EQ(w[1], Bytes(data, data + 65536));
  EXPECT_EQ(w[2], (Bytes{0x80, 0xFF, 0xFB}));
  EXPECT_TRUE(bench.calls(entry_of_port(1), "FT_Read").empty());
}

TEST_F(LinkTest, BulkFailuresLeaveTheSelectLow) {
  static uint8_t data[256];
  bench.short_write(entry_of_port(0), 2, 100);
  EXPECT_EQ(vrx::bulk_write(handle(0), 256, data), 10);
  EXPECT_EQ(writes(entry_of_port(0)).size(), 2u);

  bench.clear_calls();
  bench.silence(entry_of_port(1));
  EXPECT_EQ(vrx::bulk_read(handle(1), 256, data), 9);
  EXPECT_EQ(writes(entry_of_port(1)).size(), 3u);  // no deselect

  // A failing send-immediate byte does not end the read.
  bench.clear_faults();
  bench.clear_calls();
  bench.fail("FT_Write", entry_of_port(1), 3, FT_IO_ERROR);
  EXPECT_EQ(vrx::bulk_read(handle(1), 256, data), 0);
}

// After any way an exchange can end early, no byte of it is ever taken for a later reply: every
// later call that succeeds reads the register's value, a busy board keeps reading busy, and
// the port works again by the second call at the latest.
TEST_F(LinkTest, NoStaleByteIsTakenForALaterReply) {
  struct Case {
    const char* what;
    std::function<void()> arm;
  };
  const Case cases[] = {
      {"reply short", [&] { bench.short_read(link(), 2, 5); }},
      {"patterns short", [&] { bench.short_write(link(), 2, 10); }},
      {"patterns sent, write failed", [&] { bench.fail_moved("FT_Write", link(), 2, 4); }},
      {"reply read, read failed", [&] { bench.fail_moved("FT_Read", link(), 2, 4); }},
      {"opening byte sent, write failed", [&] { bench.fail_moved("FT_Write", link(), 1, 4); }},
      {"reply after the time-out", [&] { bench.delay_replies(link(), 12000); }},
      {"reply late, next call under way", [&] { bench.delay_replies(link(), 10003); }},
  };
  for (uint8_t r = 0; r < 16; ++r) board().regs[r] = static_cast<uint8_t>(0x40 + r);
  board().busy_forever = true;
  for (const Case& c : cases) {
    c.arm();
    int32_t value = -1;
    EXPECT_NE(VRX5200BrdCtrl_Read_Register(5, &value), 0) << c.what;
    bench.clear_faults();
    int failures = 0;
    for (int k = 0; k < 6; ++k) {
      const uint8_t address = static_cast<uint8_t>(k == 3 ? 2 : 6 + k);
      value = -1;
      const int32_t r = VRX5200BrdCtrl_Read_Register(address, &value);
      if (r != 0) {
        EXPECT_EQ(r, 8) << c.what << ", call " << k;
        EXPECT_EQ(k, 0) << c.what << ": the port did not recover";
        ++failures;
        continue;
      }
      EXPECT_EQ(value, address == 2 ? 1 : 0x40 + address) << c.what << ", call " << k;
    }
    EXPECT_LE(failures, 1) << c.what;
  }
}

// The same for the data ports: a failed read leaves no read data behind, and a failed write
// leaves no MPSSE command half taken (the engine would swallow the next transfer as its data).
TEST_F(LinkTest, DataPortsRecoverFromEveryFailure) {
  std::vector<uint16_t> samples(65536);
  for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>(i * 2654435761u);
  board().set_samples(samples);
  board().capture_length = uint64_t{1} << 24;  // a capture in memory to read from
  static uint8_t dest[4096];
  // The bytes the board serves next on data port 0.
  auto expected = [&](size_t n) {
    Bytes out;
    for (uint64_t j = board().lane_bytes_read[0]; out.size() < n; ++j) {
      const uint16_t s = samples[(2 * (j >> 1)) % samples.size()];
      out.push_back(static_cast<uint8_t>((j & 1) ? s >> 8 : s));
    }
    return out;
  };
  const int port0 = entry_of_port(0);
  for (auto arm : std::vector<std::function<void()>>{
           [&] { bench.short_read(port0, 1, 100); },
           [&] { bench.fail_moved("FT_Read", port0, 1, 4); },
           [&] { bench.delay_replies(port0, 11000); },
           [&] { bench.short_write(port0, 1, 1); },  // the select half sent
           [&] { bench.short_write(port0, 2, 2); },  // the read command half sent
       }) {
    arm();
    EXPECT_NE(vrx::bulk_read(handle(0), 1024, dest), 0);
    bench.clear_faults();
    for (int k = 0; k < 3; ++k) {
      const Bytes want = expected(1024);
      const int32_t r = vrx::bulk_read(handle(0), 1024, dest);
      if (r == 8 && k == 0) continue;  // the abandoned read's data arrived during this one
      ASSERT_EQ(r, 0) << "call " << k;
      EXPECT_EQ(Bytes(dest, dest + 1024), want) << "call " << k;
    }
  }

  static uint8_t data[2][512];
  for (size_t i = 0; i < 512; ++i) data[0][i] = static_cast<uint8_t>(i), data[1][i] = ~i & 0xFF;
  for (uint32_t sent : {1u, 3u, 5u}) {  // inside the header, the data, and the deselect
    bench.short_write(port0, sent == 1 ? 1 : 2, sent == 5 ? 100 : sent);
    EXPECT_EQ(vrx::bulk_write(handle(0), 512, data[0]), 10);
    bench.clear_faults();
    const uint64_t at = board().dac_cursor[0];
    ASSERT_EQ(vrx::bulk_write(handle(0), 512, data[1]), 0);
    ASSERT_GE(board().dac_bytes[0].size(), at + 512);
    EXPECT_EQ(Bytes(board().dac_bytes[0].begin() + static_cast<long>(at),
                    board().dac_bytes[0].begin() + static_cast<long>(at + 512)),
              Bytes(data[1], data[1] + 512));
  }
}

TEST_F(LinkTest, UnknownMpsseOpcodeIsAnsweredAsTheBridgeDoes) {
  const uint8_t bad = 0xAB;
  uint8_t answer[2] = {};
  ASSERT_EQ(vrx::port_write(handle(0), &bad, 1, 0), 0);
  ASSERT_EQ(vrx::port_read(handle(0), 2, answer), 0);
  EXPECT_EQ(answer[0], 0xFA);
  EXPECT_EQ(answer[1], 0xAB);
}

// ---- register exports ----

TEST_F(LinkTest, RegisterExportsSendTheirFrames) {
  int32_t out = -1;
  uint8_t byte = 0;
  struct Case {
    const char* what;
    std::function<int32_t()> call;
    Bytes frame;
  };
  const std::vector<Case> cases = {
      {"read", [&] { return VRX5200BrdCtrl_Read_Register(0x1B, &out); }, {0x1B, 0x00}},
      {"write",
       [&] { return VRX5200BrdCtrl_Write_Register(0x02, 0x00, &out); },
       {0x12, 0x00, 0x02, 0x00}},
      {"write 0x12",
       [&] { return VRX5200BrdCtrl_Write_Register(0x12, 0x34, &out); },
       {0x12, 0x34, 0x12, 0x00}},
      {"config2",
       [&] { return VRX5200BrdCtrl_Write_Config2(0x81, &out); },
       {0x12, 0x81, 0x02, 0x00}},
      {"busy", [&] { return VRX5200BrdCtrl_Check_ADC_Busy(&out); }, {0x02, 0x00}},
      {"deassert", [&] { return VRX5200BrdCtrl_Deassert_Capture(&out); }, {0x12, 0x00, 0x02, 0x00}},
      {"family", [&] { return VRX5200BrdCtrl_Get_Family_ID(&byte); }, {0x0B, 0x00}},
      {"firmware", [&] { return VRX5200BrdCtrl_Get_Firmware_version(&byte); }, {0x0E, 0x00}},
  };
  for (const Case& c : cases) {
    bench.clear_calls();
    EXPECT_EQ(c.call(), 0) << c.what;
    EXPECT_EQ(frames_on_wire(bench.written(link())), std::vector<Bytes>{c.frame}) << c.what;
  }
}

TEST_F(LinkTest, EveryRegisterRoundTripsThroughTheFpga) {
  for (uint8_t a = 0; a < 16; ++a) {
    if (a == 2) continue;  // register 2 reads the busy state
    int32_t status = -1, value = -1;
    ASSERT_EQ(VRX5200BrdCtrl_Write_Register(a, static_cast<uint8_t>(0xC0 + a), &status), 0);
    EXPECT_EQ(board().writes.back(), std::make_pair(a, static_cast<uint8_t>(0xC0 + a)));
    board().regs[a] = static_cast<uint8_t>(0x30 + a);
    ASSERT_EQ(VRX5200BrdCtrl_Read_Register(a, &value), 0);
    EXPECT_EQ(value, 0x30 + a);
    EXPECT_EQ(vrx::g_state.boards[0].status_byte, 0x30 + a);
  }
}

TEST_F(LinkTest, RepliesAreZeroExtendedAndTakenFromTheirByte) {
  board().regs[0x0E] = 0xFF;
  int32_t value = -1;
  ASSERT_EQ(VRX5200BrdCtrl_Read_Register(0x0E, &value), 0);
  EXPECT_EQ(value, 255);

  board().write_reply1 = 0x00;
  board().write_reply3 = 0x5A;
  int32_t status = -1;
  ASSERT_EQ(VRX5200BrdCtrl_Write_Config2(0x01, &status), 0);
  EXPECT_EQ(status, 0x5A);
  ASSERT_EQ(VRX5200BrdCtrl_Write_Register(0x05, 0x01, &status), 0);
  EXPECT_EQ(status, 0x00);
  board().write_reply1 = 0xEE;
  ASSERT_EQ(VRX5200BrdCtrl_Deassert_Capture(&status), 0);
  EXPECT_EQ(status, 0xEE);

  // Identity reads leave the status byte alone.
  uint8_t family = 0;
  ASSERT_EQ(VRX5200BrdCtrl_Get_Family_ID(&family), 0);
  EXPECT_EQ(family, 0x52);
  EXPECT_EQ(vrx::g_state.boards[0].status_byte, 0xEE);
}

TEST_F(LinkTest, FailuresLeaveOutputsAndStatusByteUnchanged) {
  vrx::g_state.boards[0].status_byte = 77;
  struct Fault {
    std::function<void()> arm;
    int32_t code;
  };
  const Fault faults[] = {
      {[&] { bench.short_write(link(), 2, 3); }, 10},
      {[&] { bench.short_read(link(), 2, 3); }, 8},
      {[&] { bench.silence(link()); }, 9},
  };
  for (const Fault& f : faults) {
    settle();
    f.arm();
    int32_t out = -5;
    uint8_t byte = 9;
    EXPECT_EQ(VRX5200BrdCtrl_Read_Register(1, &out), f.code);
    settle();
    f.arm();
    EXPECT_EQ(VRX5200BrdCtrl_Write_Config2(1, &out), f.code);
    settle();
    f.arm();
    EXPECT_EQ(VRX5200BrdCtrl_Get_Firmware_version(&byte), f.code);
    EXPECT_EQ(out, -5);
    EXPECT_EQ(byte, 9);
    EXPECT_EQ(vrx::g_state.boards[0].status_byte, 77);
  }
}

// A simulated board that runs for long (behind a server) keeps its latest register writes only:
// the log stays bounded while its count and its latest writes stay readable.
TEST_F(BenchTest, TheBoardsRegisterWriteLogStaysBounded) {
  open_board();
  int32_t status = 0;
  ASSERT_EQ(VRX5200BrdCtrl_Write_Register(1, 0x42, &status), 0);
  const size_t first = board().writes.size();
  EXPECT_EQ(board().writes[first - 1], std::make_pair(uint8_t{1}, uint8_t{0x42}));
  const size_t n = 5 * sim::WriteLog::kKeep + 7;
  for (size_t i = 0; i < n; ++i) board().register_write(3, static_cast<uint8_t>(0x1A + (i & 0xF0)));
  EXPECT_EQ(board().writes.size(), first + n);
  EXPECT_LE(board().writes.kept(), 2 * sim::WriteLog::kKeep);
  EXPECT_GE(board().writes.kept(), sim::WriteLog::kKeep);
  ASSERT_EQ(VRX5200BrdCtrl_Write_Register(1, 0x43, &status), 0);
  EXPECT_EQ(board().writes.back(), std::make_pair(uint8_t{1}, uint8_t{0x43}));
  EXPECT_EQ(board().writes[first + n - 1].second, static_cast<uint8_t>(0x1A + ((n - 1) & 0xF0)));
}

}  // namespace
