// The emulated channel's own pieces: baud-rate decoding, IN packets, the synchronous bit-bang
// stall, the MPSSE engine and the vendor requests.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "usbemu/chip.h"

namespace usbemu {
namespace {

// ---- Baud rate ------------------------------------------------------------------------------

struct BaudCase {
  uint16_t value, index;
  bool h_type;
  uint32_t base_hz, eighths;
  double hz;
};

// The divisors of the 3 MHz baud-rate table of the bridge vendor's aliasing note (value in the
// low 16 bits, the third sub-integer bit in index bit 0), and the H-type encodings libftdi sends
// (index bit 9: 120 MHz / 10, index bit 8: the third sub-integer bit, low byte: the channel).
const BaudCase kBaudCases[] = {
    {0x0000, 0x0000, false, 3000000, 8, 3000000.0},     // divisor 0: the base clock
    {0x0001, 0x0000, false, 3000000, 12, 2000000.0},    // divisor 1: base / 1.5
    {0x2710, 0x0000, false, 3000000, 80000, 300.0},     // 10000
    {0x1388, 0x0000, false, 3000000, 40000, 600.0},     // 5000
    {0x09C4, 0x0000, false, 3000000, 20000, 1200.0},    // 2500
    {0x04E2, 0x0000, false, 3000000, 10000, 2400.0},    // 1250
    {0x0271, 0x0000, false, 3000000, 5000, 4800.0},     // 625
    {0x4138, 0x0000, false, 3000000, 2500, 9600.0},     // 312.5
    {0x80D0, 0x0000, false, 3000000, 1666, 14405.762},  // 208.25
    {0x809C, 0x0000, false, 3000000, 1250, 19200.0},    // 156.25
    {0xC04E, 0x0000, false, 3000000, 625, 38400.0},     // 78.125
    {0x0034, 0x0000, false, 3000000, 416, 57692.308},   // 52
    {0x001A, 0x0000, false, 3000000, 208, 115384.615},  // 26
    {0x000D, 0x0000, false, 3000000, 104, 230769.231},  // 13
    {0x4006, 0x0000, false, 3000000, 52, 461538.462},   // 6.5
    {0x8003, 0x0000, false, 3000000, 26, 923076.923},   // 3.25
    {0x4035, 0x0001, false, 3000000, 429, 55944.056},   // 53.625: code 101
    {0x0035, 0x0001, false, 3000000, 427, 56206.089},   // 53.375: code 100
    {0xC035, 0x0001, false, 3000000, 431, 55684.455},   // 53.875: code 111
    {0x4035, 0x0101, true, 3000000, 429, 55944.056},    // H type: code bit 2 in index bit 8
    {0x4138, 0x0004, true, 3000000, 2500, 9600.0},      // H type, 3 MHz base, channel D
    {0x04E2, 0x0203, true, 12000000, 10000, 9600.0},    // libftdi's 9600 on channel C
    {0x0001, 0x0202, true, 12000000, 12, 8000000.0},    // libftdi's 8 MHz on channel B
    {0x0000, 0x0201, true, 12000000, 8, 12000000.0},    // the fastest
    {0x0006, 0x0201, true, 12000000, 48, 2000000.0},    // 6
    {0xC00C, 0x0301, true, 12000000, 103, 932038.835},  // 12.875
};

TEST(Baud, DecodesTheDivisorAsTheChipDoes) {
  for (const BaudCase& c : kBaudCases) {
    SCOPED_TRACE(testing::Message() << std::hex << "value 0x" << c.value << " index 0x" << c.index);
    const BaudClock clock = decode_baud(c.value, c.index, c.h_type);
    EXPECT_EQ(clock.base_hz, c.base_hz);
    EXPECT_EQ(clock.eighths, c.eighths);
    EXPECT_NEAR(clock.hz(), c.hz, 0.001);
  }
}

// ---- Helpers --------------------------------------------------------------------------------

// A peer that records what the engine does and serves a counting byte stream.
struct RecordingPeer : sim::PortPeer {
  std::vector<std::pair<uint8_t, uint8_t>> pin_settings;
  std::vector<uint8_t> clocked_out;
  std::vector<size_t> read_pieces;
  uint8_t next = 0;
  uint8_t levels = 0xA5;
  uint8_t inputs() override { return levels; }
  void mpsse_pins(uint8_t value, uint8_t direction) override {
    pin_settings.emplace_back(value, direction);
  }
  void mpsse_clock_out(const uint8_t* data, size_t n) override {
    clocked_out.insert(clocked_out.end(), data, data + n);
  }
  void mpsse_clock_in(uint8_t* data, size_t n) override {
    read_pieces.push_back(n);
    for (size_t i = 0; i < n; ++i) data[i] = next++;
  }
};

void set_mode(Channel& c, Mode mode, uint8_t mask) {
  ASSERT_EQ(c.vendor_request(0x0B, static_cast<uint16_t>(mode << 8 | mask), 1, nullptr, 0, 0), 0);
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 3);
  return bytes;
}

// The data bytes of IN packets, with every packet's status bytes checked.
std::vector<uint8_t> strip_status(const uint8_t* bytes, size_t n) {
  std::vector<uint8_t> data;
  for (size_t at = 0; at < n; at += kPacketBytes) {
    const size_t packet = std::min(kPacketBytes, n - at);
    EXPECT_GE(packet, kStatusBytes);
    EXPECT_EQ(bytes[at], Channel::kModemStatus);
    EXPECT_EQ(bytes[at + 1], Channel::kLineStatus);
    data.insert(data.end(), bytes + at + kStatusBytes, bytes + at + packet);
  }
  return data;
}

// Everything the chip sends, as one short packet ending each read: reads until a short packet
// comes with nothing left.
std::vector<uint8_t> read_everything(Channel& c, uint64_t& now) {
  std::vector<uint8_t> data, buffer(4096);
  for (;;) {
    now += 20000;  // past the latency timer
    const Channel::InPackets r = c.give_in(buffer.data(), buffer.size(), now);
    const std::vector<uint8_t> piece = strip_status(buffer.data(), r.bytes);
    data.insert(data.end(), piece.begin(), piece.end());
    if (r.ended && r.bytes == kStatusBytes && c.in_queued() == 0 && c.out_queued() == 0)
      return data;
  }
}

// ---- IN packets -----------------------------------------------------------------------------

struct PacketCase {
  const char* what;
  size_t written;   // bytes written in synchronous bit-bang (one sample back each)
  size_t room;      // the IN transfer's length
  uint64_t now_us;  // the latency timer (16 ms) runs out at 16,000
  size_t bytes;     // bytes of packets delivered
  bool ended, overflow;
};

const PacketCase kPacketCases[] = {
    {"nothing, timer running", 0, 4096, 0, 0, false, false},
    {"nothing, timer out: status only", 0, 4096, 16000, 2, true, false},
    {"a few bytes wait for the timer", 100, 4096, 15999, 0, false, false},
    {"a few bytes, timer out", 100, 4096, 16000, 102, true, false},
    {"510 bytes: a full packet at once", 510, 4096, 0, 512, false, false},
    {"511 bytes: the 511th waits", 511, 4096, 0, 512, false, false},
    // The timer restarts with every packet: the rest of 1000 bytes waits after the full one.
    {"1000 bytes, timer out: a full packet, the rest waits", 1000, 4096, 20000, 512, false, false},
    {"4096 bytes fill an 8-packet transfer", 4096, 4096, 0, 4096, false, false},
    {"4096 bytes, timer out: the transfer fills first", 4096, 4096, 20000, 4096, false, false},
    {"a short packet that just fits", 300, 302, 20000, 302, true, false},
    {"a full packet overflows a small transfer", 1000, 100, 0, 100, true, true},
    {"a short packet overflows a small transfer", 300, 100, 20000, 100, true, true},
    {"an empty transfer takes nothing", 300, 0, 20000, 0, false, false},
};

TEST(Packets, FullPacketsAtOnceShortOnesOnTheLatencyTimer) {
  for (const PacketCase& c : kPacketCases) {
    SCOPED_TRACE(c.what);
    Channel chip;
    set_mode(chip, kSyncBitbang, 0xFF);
    const std::vector<uint8_t> written = counting(c.written);
    ASSERT_EQ(chip.take_out(written.data(), written.size()), c.written);
    std::vector<uint8_t> buffer(c.room + 1, 0xEE);
    const Channel::InPackets r = chip.give_in(buffer.data(), c.room, c.now_us);
    EXPECT_EQ(r.bytes, c.bytes);
    EXPECT_EQ(r.ended, c.ended);
    EXPECT_EQ(r.overflow, c.overflow);
    EXPECT_EQ(buffer[c.room], 0xEE);  // nothing past the transfer
    if (r.overflow) continue;
    // Each sample is the pins before its byte: all high first, then the bytes written.
    const std::vector<uint8_t> data = strip_status(buffer.data(), r.bytes);
    for (size_t i = 0; i < data.size(); ++i)
      ASSERT_EQ(data[i], i == 0 ? 0xFF : written[i - 1]) << "sample " << i;
  }
}

TEST(Packets, SendImmediateEndsTheWaitAndTheTimerRestartsWithEachPacket) {
  RecordingPeer peer;
  Channel chip(&peer);
  set_mode(chip, kMpsse, 0);
  const uint8_t read4[] = {0x28, 0x03, 0x00};
  ASSERT_EQ(chip.take_out(read4, sizeof read4), sizeof read4);
  uint8_t buffer[512];
  EXPECT_EQ(chip.give_in(buffer, sizeof buffer, 1000).bytes, 0u);  // waits for the timer
  const uint8_t flush[] = {0x87};
  ASSERT_EQ(chip.take_out(flush, 1), 1u);
  Channel::InPackets r = chip.give_in(buffer, sizeof buffer, 1000);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_TRUE(r.ended);
  // The packet just sent restarted the timer: nothing until 16 ms later.
  EXPECT_EQ(chip.short_packet_due_us(), 17000u);
  EXPECT_EQ(chip.give_in(buffer, sizeof buffer, 16999).bytes, 0u);
  r = chip.give_in(buffer, sizeof buffer, 17000);
  EXPECT_EQ(r.bytes, 2u);
}

// ---- Synchronous bit-bang flow control -------------------------------------------------------

struct StallCase {
  Mode mode;
  size_t written, taken, out_queued, in_queued;
};

const StallCase kStallCases[] = {
    {kSyncBitbang, 100, 100, 0, 100},
    {kSyncBitbang, 2048, 2048, 0, 2048},
    {kSyncBitbang, 2560, 2560, 512, 2048},
    {kSyncBitbang, 4096, 4096, 2048, 2048},
    {kSyncBitbang, 4097, 4096, 2048, 2048},  // the last, one-byte packet is refused
    {kSyncBitbang, 30000, 4096, 2048, 2048},
    {kAsyncBitbang, 30000, 30000, 0, 0},  // nothing comes back: nothing stops
    {kUart, 30000, 30000, 0, 0},
};

TEST(SyncBitbang, NoByteIsClockedOutWhileTheInFifoIsFull) {
  for (const StallCase& c : kStallCases) {
    SCOPED_TRACE(testing::Message() << "mode " << int{c.mode} << ", " << c.written << " bytes");
    Channel chip;
    set_mode(chip, c.mode, 0xFF);
    const std::vector<uint8_t> written = counting(c.written);
    EXPECT_EQ(chip.take_out(written.data(), written.size()), c.taken);
    EXPECT_EQ(chip.out_queued(), c.out_queued);
    EXPECT_EQ(chip.in_queued(), c.in_queued);
  }
}

TEST(SyncBitbang, ReadingMakesRoomAndEveryByteComesBackOnce) {
  Channel chip;
  set_mode(chip, kSyncBitbang, 0xFF);
  const std::vector<uint8_t> written = counting(30000);
  std::vector<uint8_t> got, buffer(4096);
  size_t sent = 0;
  uint64_t now = 0;
  // Whatever the chip takes, then one 8-packet read, in turn.
  std::vector<size_t> takes;
  while (sent < written.size()) {
    const size_t n = chip.take_out(written.data() + sent, written.size() - sent);
    takes.push_back(n);
    sent += n;
    const Channel::InPackets r = chip.give_in(buffer.data(), buffer.size(), now);
    const std::vector<uint8_t> piece = strip_status(buffer.data(), r.bytes);
    got.insert(got.end(), piece.begin(), piece.end());
  }
  const std::vector<uint8_t> rest = read_everything(chip, now);
  got.insert(got.end(), rest.begin(), rest.end());
  ASSERT_EQ(got.size(), written.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(got[i], i == 0 ? 0xFF : written[i - 1]) << "sample " << i;
  // First both FIFOs; after each read of 4080 data bytes, what 512-byte packets fit again.
  ASSERT_GE(takes.size(), 2u);
  EXPECT_EQ(takes[0], 4096u);
  EXPECT_EQ(takes[1], 3584u);
}

// ---- MPSSE -----------------------------------------------------------------------------------

struct MpsseCase {
  const char* what;
  std::vector<uint8_t> command;
  std::vector<uint8_t> answer;       // what reaches the host
  std::vector<uint8_t> clocked_out;  // what the peer receives
  size_t pin_settings;               // set-low-byte commands the peer sees
};

const MpsseCase kMpsseCases[] = {
    {"the library's set-up", {0x80, 0xFF, 0xFB, 0x8A, 0x86, 0x00, 0x00, 0x85}, {}, {}, 1},
    {"clock 4 bytes in", {0x28, 0x03, 0x00, 0x87}, {0x00, 0x01, 0x02, 0x03}, {}, 0},
    {"clock 3 bytes out", {0x19, 0x02, 0x00, 0xAA, 0xBB, 0xCC}, {}, {0xAA, 0xBB, 0xCC}, 0},
    {"clock 2 bytes out and in", {0x39, 0x01, 0x00, 0x11, 0x22}, {0x00, 0x01}, {0x11, 0x22}, 0},
    {"an unknown opcode", {0xAB}, {0xFA, 0xAB}, {}, 0},
    {"an unknown opcode among known ones", {0x84, 0xAA, 0x85}, {0xFA, 0xAA}, {}, 0},
    {"read the low byte", {0x80, 0x0F, 0xF0, 0x81}, {0x05}, {}, 1},
    {"read bits", {0x22, 0x07}, {0xFF}, {}, 0},
    {"write bits", {0x13, 0x07, 0x5A}, {}, {}, 0},
    {"TMS out", {0x4B, 0x03, 0x05}, {}, {}, 0},
    {"TMS out, TDO in", {0x6B, 0x00, 0x01}, {0xFF}, {}, 0},
    {"the block read's frame",
     {0x80, 0xF7, 0xFB, 0x28, 0x01, 0x00, 0x87, 0x80, 0xFF, 0xFB},
     {0x00, 0x01},
     {},
     2},
};

TEST(Mpsse, CommandsWholeOrByteByByte) {
  for (const MpsseCase& c : kMpsseCases) {
    for (const bool byte_by_byte : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (byte_by_byte ? ", byte by byte" : ""));
      RecordingPeer peer;
      Channel chip(&peer);
      set_mode(chip, kMpsse, 0);
      size_t taken = 0;
      if (byte_by_byte) {
        for (uint8_t b : c.command) taken += chip.take_out(&b, 1);
      } else {
        taken = chip.take_out(c.command.data(), c.command.size());
      }
      EXPECT_EQ(taken, c.command.size());
      uint64_t now = 0;
      EXPECT_EQ(read_everything(chip, now), c.answer);
      EXPECT_EQ(peer.clocked_out, c.clocked_out);
      EXPECT_EQ(peer.pin_settings.size(), c.pin_settings);
    }
  }
}

TEST(Mpsse, TheEngineStopsWhileTheInFifoIsFullAndGoesOnAfterReads) {
  RecordingPeer peer;
  Channel chip(&peer);
  set_mode(chip, kMpsse, 0);
  // A 65,536-byte read, then a command that answers: the read fills the FIFO and waits.
  const uint8_t commands[] = {0x28, 0xFF, 0xFF, 0x87, 0xAB};
  ASSERT_EQ(chip.take_out(commands, sizeof commands), sizeof commands);
  EXPECT_EQ(chip.in_queued(), kFifoBytes);
  EXPECT_EQ(chip.out_queued(), 2u);  // 0x87 and 0xAB wait behind the read
  uint64_t now = 0;
  const std::vector<uint8_t> data = read_everything(chip, now);
  ASSERT_EQ(data.size(), 65536u + 2);
  for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(data[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(data[65536], 0xFA);
  EXPECT_EQ(data[65537], 0xAB);
  // The board model gets whole 16-bit samples.
  for (size_t piece : peer.read_pieces) EXPECT_EQ(piece % 2, 0u);
}

// ---- Vendor requests -------------------------------------------------------------------------

TEST(Requests, SettingsReadBack) {
  RecordingPeer peer;
  Channel chip(&peer);
  uint8_t answer[4] = {};
  EXPECT_EQ(chip.vendor_request(0x0A, 0, 1, answer, 1, 0), 1);
  EXPECT_EQ(answer[0], 16);  // latency out of reset
  EXPECT_EQ(chip.vendor_request(0x09, 2, 1, nullptr, 0, 0), 0);
  EXPECT_EQ(chip.vendor_request(0x0A, 0, 1, answer, 1, 0), 1);
  EXPECT_EQ(answer[0], 2);
  EXPECT_EQ(chip.vendor_request(0x05, 0, 1, answer, 2, 0), 2);
  EXPECT_EQ(answer[0], Channel::kModemStatus);
  EXPECT_EQ(answer[1], Channel::kLineStatus);
  EXPECT_EQ(chip.vendor_request(0x03, 0x04E2, 0x0201, nullptr, 0, 0), 0);
  EXPECT_EQ(chip.baud().hz(), 9600.0);
  EXPECT_EQ(chip.vendor_request(0x90, 0, 0, answer, 2, 0), -1);  // the EEPROM: not modelled
  // Asynchronous bit-bang: the pins follow the writes; inputs read the peer's levels.
  set_mode(chip, kAsyncBitbang, 0xF0);
  EXPECT_EQ(chip.mask(), 0xF0);
  const uint8_t level = 0x3C;
  ASSERT_EQ(chip.take_out(&level, 1), 1u);
  EXPECT_EQ(chip.vendor_request(0x0C, 0, 1, answer, 1, 0), 1);
  EXPECT_EQ(answer[0], 0x35);  // 0x3C on the outputs, 0xA5 on the inputs
  // Reset mode releases the pins.
  set_mode(chip, kUart, 0);
  ASSERT_FALSE(peer.pin_settings.empty());
  EXPECT_EQ(peer.pin_settings.back(), std::make_pair(uint8_t{0xFF}, uint8_t{0x00}));
}

struct PurgeCase {
  uint16_t value;
  size_t out_queued, in_queued;
  size_t first_sample;  // index of the byte written whose sample leads the in FIFO, or kNone
};
constexpr size_t kNone = SIZE_MAX;

TEST(Requests, PurgesEmptyOneSideOrBoth) {
  // 4096 bytes stalled in synchronous bit-bang: the samples of the first 2048 wait for the host,
  // the last 2048 bytes wait in the out FIFO. Values as libftdi sends them: 1 empties what the
  // host sent, 2 what waits for the host (the engine then goes on with the out FIFO).
  const PurgeCase cases[] = {{0, 0, 0, kNone}, {1, 0, 2048, 0}, {2, 0, 2048, 2048}};
  for (const PurgeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "value " << c.value);
    Channel chip;
    set_mode(chip, kSyncBitbang, 0xFF);
    const std::vector<uint8_t> written = counting(4096);
    ASSERT_EQ(chip.take_out(written.data(), written.size()), 4096u);
    EXPECT_EQ(chip.vendor_request(0x00, c.value, 1, nullptr, 0, 0), 0);
    EXPECT_EQ(chip.out_queued(), c.out_queued);
    EXPECT_EQ(chip.in_queued(), c.in_queued);
    if (c.first_sample == kNone) continue;
    uint8_t packet[kPacketBytes];
    ASSERT_EQ(chip.give_in(packet, sizeof packet, 0).bytes, kPacketBytes);
    EXPECT_EQ(packet[kStatusBytes], c.first_sample == 0 ? 0xFF : written[c.first_sample - 1]);
  }
}

}  // namespace
}  // namespace usbemu
