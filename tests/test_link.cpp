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
  bench.clear_calls();
  bench.fail("FT_Write", link(), 1, FT_IO_ERROR);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), 10);
  EXPECT_EQ(writes(link()).size(), 1u);

  // A failing queue poll: its status.
  VRX5200BrdCtrl_Clear_Buffer();
  bench.fail("FT_GetQueueStatus", link(), 2, FT_IO_ERROR);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), FT_IO_ERROR);

  // Reply bytes short: 8.
  VRX5200BrdCtrl_Clear_Buffer();
  bench.short_read(link(), 2, 5);
  EXPECT_EQ(vrx::link_exchange(handle(2), frame, 4, reply), 8);

  // A board that stops answering: 9 after 10 s of polling.
  VRX5200BrdCtrl_Clear_Buffer();
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
    bench.clear_faults();
    VRX5200BrdCtrl_Clear_Buffer();
    f.arm();
    int32_t out = -5;
    uint8_t byte = 9;
    EXPECT_EQ(VRX5200BrdCtrl_Read_Register(1, &out), f.code);
    bench.clear_faults();
    VRX5200BrdCtrl_Clear_Buffer();
    f.arm();
    EXPECT_EQ(VRX5200BrdCtrl_Write_Config2(1, &out), f.code);
    bench.clear_faults();
    VRX5200BrdCtrl_Clear_Buffer();
    f.arm();
    EXPECT_EQ(VRX5200BrdCtrl_Get_Firmware_version(&byte), f.code);
    EXPECT_EQ(out, -5);
    EXPECT_EQ(byte, 9);
    EXPECT_EQ(vrx::g_state.boards[0].status_byte, 77);
  }
}

TEST_F(BenchTest, RegisterExportsWithoutABoard) {
  int32_t out = -3;
  uint8_t byte = 4;
  EXPECT_EQ(VRX5200BrdCtrl_Read_Register(0x0B, &out), 0);
  EXPECT_EQ(VRX5200BrdCtrl_Write_Config2(1, &out), 0);
  EXPECT_EQ(VRX5200BrdCtrl_Check_ADC_Busy(&out), 0);
  EXPECT_EQ(out, -3);
  EXPECT_EQ(VRX5200BrdCtrl_Write_Register(1, 1, &out), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Deassert_Capture(&out), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Get_Family_ID(&byte), 103);
  EXPECT_EQ(VRX5200BrdCtrl_Get_Firmware_version(&byte), 103);
  EXPECT_EQ(byte, 4);
  EXPECT_EQ(VRX5200BrdCtrl_Read_Register(0x0B, nullptr), 108);
  EXPECT_EQ(VRX5200BrdCtrl_Get_Family_ID(nullptr), 108);
  EXPECT_TRUE(bench.calls().empty());
}

}  // namespace
