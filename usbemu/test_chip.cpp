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

constexpr uint64_t kUs = 1000, kMs = 1000000;

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

void set_mode(Channel& c, Mode mode, uint8_t mask, uint64_t now = 0) {
  ASSERT_EQ(c.vendor_request(0x0B, static_cast<uint16_t>(mode << 8 | mask), 1, nullptr, 0, now), 0);
}

// 8,000,000 baud as libftdi asks for it: 12 MHz / 1.5 on the 120 MHz base.
void eight_mbaud(Channel& c) {
  ASSERT_EQ(c.vendor_request(0x03, 0x0001, 0x0201, nullptr, 0, 0), 0);
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
    EXPECT_EQ(bytes[at + 1] & ~(kOverrun | kHoldingEmpty | kTransmitEmpty), 0) << "at " << at;
    data.insert(data.end(), bytes + at + kStatusBytes, bytes + at + packet);
  }
  return data;
}

// A host that offers `out` to the chip and takes every packet it sends, every `step` ns from
// `now`, until the chip has taken everything and its engine is done (then `done_ns` is that
// step) and `want` data bytes came back, or until `limit`.
struct HostRun {
  std::vector<uint8_t> in;
  size_t taken = 0;
  uint64_t done_ns = 0;
  uint64_t end_ns = 0;  // the last step
};
HostRun host(Channel& c, const std::vector<uint8_t>& out, uint64_t now, uint64_t limit,
             size_t want = 0, bool read = true, uint64_t step = kUs) {
  HostRun r;
  std::vector<uint8_t> buffer(8 * kPacketBytes);
  for (; now <= limit; now += step) {
    r.taken += c.take_out(out.data() + r.taken, out.size() - r.taken, now);
    if (read) {
      const Channel::InPackets p = c.give_in(buffer.data(), buffer.size(), now);
      const std::vector<uint8_t> piece = strip_status(buffer.data(), p.bytes);
      r.in.insert(r.in.end(), piece.begin(), piece.end());
    }
    const bool engine_done = r.taken == out.size() && (c.line_status() & kTransmitEmpty) != 0;
    if (engine_done && r.done_ns == 0) r.done_ns = now;
    if (engine_done && r.in.size() >= want) break;
  }
  r.end_ns = now;
  return r;
}

// ---- Rates ----------------------------------------------------------------------------------

// Bit-bang: one byte a tick of the bit clock, the nominal rate times the multiple (the readings
// of the documents); the UART ten bits a byte at 9600 baud, the rate out of reset.
struct BitbangRate {
  Mode mode;
  unsigned multiple;
  size_t bytes;
};

TEST(Rates, BitBangRunsFromTheBitClockUnderEachReadingOfItsMultiple) {
  const BitbangRate cases[] = {{kSyncBitbang, 1, 4000},
                               {kSyncBitbang, 4, 20000},
                               {kSyncBitbang, 16, 20000},
                               {kAsyncBitbang, 1, 4000},
                               {kAsyncBitbang, 4, 20000},
                               {kAsyncBitbang, 16, 20000},
                               {kUart, 4, 24}};
  for (const BitbangRate& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int{c.mode} << ", multiple " << c.multiple);
    Channel chip(nullptr, 2, ChipSettings{c.multiple});
    set_mode(chip, c.mode, 0xFF);
    double hz = 9600.0 / 10;
    if (c.mode != kUart) {
      eight_mbaud(chip);
      hz = 8e6 * c.multiple;
      EXPECT_EQ(chip.bitbang_hz(), hz);
    }
    const HostRun r = host(chip, counting(c.bytes), 0, 100 * kMs);
    EXPECT_EQ(r.taken, c.bytes);
    const double want_ns = c.bytes / hz * 1e9;
    EXPECT_NEAR(static_cast<double>(r.done_ns), want_ns, 2.0 * kUs);
  }
}

// MPSSE: eight periods of its clock a data byte: 60 MHz or 12 MHz (divide-by-5) over
// (1 + divisor) * 2, a period and a half with three-phase clocking. A read goes on as the host
// empties the 2 KiB in FIFO, however long it is and whatever follows it.
struct MpsseRate {
  const char* what;
  std::vector<uint8_t> setup;
  bool read;
  size_t bytes;
  double clock_hz, periods_per_bit;
};

TEST(Rates, MpsseClocksDataAtItsProgrammedClock) {
  const MpsseRate cases[] = {
      {"reset state: divide-by-5 on", {}, false, 2000, 6e6, 1},
      {"30 MHz", {0x8A, 0x86, 0x00, 0x00}, false, 8192, 30e6, 1},
      {"15 MHz", {0x8A, 0x86, 0x01, 0x00}, false, 8192, 15e6, 1},
      {"6 MHz with divide-by-5", {0x8B, 0x86, 0x00, 0x00}, false, 4096, 6e6, 1},
      {"30 MHz three-phase", {0x8A, 0x86, 0x00, 0x00, 0x8C}, false, 8192, 30e6, 1.5},
      {"three-phase off again", {0x8A, 0x8C, 0x8D}, false, 8192, 30e6, 1},
      {"a lone 4 KiB read", {0x8A, 0x86, 0x00, 0x00}, true, 4096, 30e6, 1},
      {"a lone 64 KiB read", {0x8A, 0x86, 0x00, 0x00}, true, 65536, 30e6, 1},
      {"a 3-byte read at 1 MHz", {0x8A, 0x86, 0x1D, 0x00}, true, 3, 1e6, 1},
  };
  for (const MpsseRate& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingPeer peer;
    Channel chip(&peer, 0);
    set_mode(chip, kMpsse, 0);
    std::vector<uint8_t> out = c.setup;
    const uint16_t length = static_cast<uint16_t>(c.bytes - 1);
    out.insert(out.end(), {static_cast<uint8_t>(c.read ? 0x28 : 0x19),
                           static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>(length >> 8)});
    if (!c.read) {
      const std::vector<uint8_t> data = counting(c.bytes);
      out.insert(out.end(), data.begin(), data.end());
    }
    const HostRun r = host(chip, out, 0, 200 * kMs, c.read ? c.bytes : 0);
    EXPECT_NEAR(chip.mpsse_clock_hz(), c.clock_hz, 1e-3);
    const double want_ns = c.bytes * 8 * c.periods_per_bit / c.clock_hz * 1e9;
    EXPECT_NEAR(static_cast<double>(r.done_ns), want_ns, 2.0 * kUs);
    if (c.read) {
      // Every byte arrives; the tail after the last full packet on the latency timer.
      ASSERT_EQ(r.in.size(), c.bytes);
      for (size_t i = 0; i < c.bytes; ++i) ASSERT_EQ(r.in[i], static_cast<uint8_t>(i)) << i;
    } else {
      EXPECT_EQ(peer.clocked_out, counting(c.bytes));
    }
  }
}

// ---- IN packets -----------------------------------------------------------------------------

struct PacketCase {
  const char* what;
  size_t written;   // bytes written in synchronous bit-bang (one sample back each), clocked by 1 ms
  size_t room;      // the IN transfer's length
  uint64_t now_ns;  // the latency timer (16 ms) runs out at 16 ms
  size_t bytes;     // bytes of packets delivered
  bool ended, overflow;
};

const PacketCase kPacketCases[] = {
    {"nothing, timer running", 0, 4096, 1 * kMs, 0, false, false},
    {"nothing, timer out: status only", 0, 4096, 16 * kMs, 2, true, false},
    {"a few bytes wait for the timer", 100, 4096, 16 * kMs - 1, 0, false, false},
    {"a few bytes, timer out", 100, 4096, 16 * kMs, 102, true, false},
    {"510 bytes: a full packet at once", 510, 4096, 1 * kMs, 512, false, false},
    {"511 bytes: the 511th waits", 511, 4096, 1 * kMs, 512, false, false},
    // The timer restarts with every packet: the rest of 1000 bytes waits after the full one.
    {"1000 bytes, timer out: a full packet, the rest waits", 1000, 4096, 20 * kMs, 512, false,
     false},
    {"2048 bytes: four full packets, the rest waits", 2048, 4096, 1 * kMs, 2048, false, false},
    {"a short packet that just fits", 300, 302, 20 * kMs, 302, true, false},
    {"a full packet overflows a small transfer", 1000, 100, 1 * kMs, 100, true, true},
    {"a short packet overflows a small transfer", 300, 100, 20 * kMs, 100, true, true},
    {"an empty transfer takes nothing", 300, 0, 20 * kMs, 0, false, false},
};

TEST(Packets, FullPacketsAtOnceShortOnesOnTheLatencyTimer) {
  for (const PacketCase& c : kPacketCases) {
    SCOPED_TRACE(c.what);
    Channel chip;
    set_mode(chip, kSyncBitbang, 0xFF);
    eight_mbaud(chip);
    const std::vector<uint8_t> written = counting(c.written);
    ASSERT_EQ(chip.take_out(written.data(), written.size(), 0), c.written);
    std::vector<uint8_t> buffer(c.room + 1, 0xEE);
    const Channel::InPackets r = chip.give_in(buffer.data(), c.room, c.now_ns);
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

TEST(Packets, SendImmediateEndsTheWaitAfterTheReadAndTheTimerRestartsWithEachPacket) {
  RecordingPeer peer;
  Channel chip(&peer);
  set_mode(chip, kMpsse, 0);
  // Four bytes at 6 MHz (the divide-by-5 is on) take 5.33 us; the send-immediate behind them
  // acts only then.
  const uint8_t read4[] = {0x28, 0x03, 0x00, 0x87};
  ASSERT_EQ(chip.take_out(read4, sizeof read4, 0), sizeof read4);
  uint8_t buffer[512];
  EXPECT_EQ(chip.give_in(buffer, sizeof buffer, 5 * kUs).bytes, 0u);
  Channel::InPackets r = chip.give_in(buffer, sizeof buffer, 6 * kUs);
  EXPECT_EQ(r.bytes, 6u);
  EXPECT_TRUE(r.ended);
  // The packet just sent restarted the timer: nothing until 16 ms later.
  EXPECT_EQ(chip.short_packet_due_ns(), 6 * kUs + 16 * kMs);
  EXPECT_EQ(chip.give_in(buffer, sizeof buffer, 6 * kUs + 16 * kMs - 1).bytes, 0u);
  r = chip.give_in(buffer, sizeof buffer, 6 * kUs + 16 * kMs);
  EXPECT_EQ(r.bytes, 2u);
}

// ---- Bit-bang flow -----------------------------------------------------------------------

struct StallCase {
  Mode mode;
  size_t written, taken, out_queued, in_queued;
};

TEST(Bitbang, SyncStopsOnAFullInFifoAsyncSamplesUntilFull) {
  const StallCase cases[] = {
      {kSyncBitbang, 100, 100, 0, 100},
      {kSyncBitbang, 2048, 2048, 0, 2048},
      {kSyncBitbang, 2560, 2560, 512, 2048},
      {kSyncBitbang, 4096, 4096, 2048, 2048},
      {kSyncBitbang, 4097, 4096, 2048, 2048},  // the last, one-byte packet is refused
      {kSyncBitbang, 30000, 4096, 2048, 2048},
      // Nothing stops the asynchronous engine: it samples the pins into the in FIFO at every
      // tick, written or not, until the FIFO is full.
      {kAsyncBitbang, 30000, 30000, 0, 2048},
      {kAsyncBitbang, 0, 0, 0, 2048},
      {kUart, 100, 100, 0, 0},
  };
  for (const StallCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int{c.mode} << ", " << c.written << " bytes");
    Channel chip;
    set_mode(chip, c.mode, 0xFF);
    eight_mbaud(chip);
    const HostRun r = host(chip, counting(c.written), 0, 20 * kMs, 0, false);
    chip.advance(r.end_ns + 20 * kMs);
    EXPECT_EQ(r.taken, c.taken);
    EXPECT_EQ(chip.out_queued(), c.out_queued);
    EXPECT_EQ(chip.in_queued(), c.in_queued);
  }
}

TEST(Bitbang, SyncReadingMakesRoomAndEveryByteComesBackOnce) {
  Channel chip;
  set_mode(chip, kSyncBitbang, 0xFF);
  eight_mbaud(chip);
  const std::vector<uint8_t> written = counting(30000);
  const HostRun r = host(chip, written, 0, 100 * kMs, written.size());
  ASSERT_EQ(r.in.size(), written.size());
  for (size_t i = 0; i < r.in.size(); ++i)
    ASSERT_EQ(r.in[i], i == 0 ? 0xFF : written[i - 1]) << "sample " << i;
}

TEST(Bitbang, PinsLagTheBytesQueuedAndAsyncOverrunsAreReported) {
  RecordingPeer peer;
  Channel chip(&peer, 3);
  set_mode(chip, kAsyncBitbang, 0xF0);
  eight_mbaud(chip);  // 32 MHz: a byte every 31.25 ns
  std::vector<uint8_t> levels(64, 0x5A);
  levels.back() = 0x3C;
  ASSERT_EQ(chip.take_out(levels.data(), levels.size(), 0), levels.size());
  uint8_t pins = 0;
  EXPECT_EQ(chip.vendor_request(0x0C, 0, 4, &pins, 1, 0), 1);
  EXPECT_EQ(pins, 0xF5);  // nothing applied yet: the outputs still high
  EXPECT_EQ(chip.line_status(), 0);
  EXPECT_EQ(chip.vendor_request(0x0C, 0, 4, &pins, 1, 1 * kUs), 1);
  EXPECT_EQ(pins, 0x55);  // 32 bytes in: 0x5A on the outputs, 0xA5 on the inputs
  EXPECT_EQ(chip.vendor_request(0x0C, 0, 4, &pins, 1, 2 * kUs + 1), 1);
  EXPECT_EQ(pins, 0x35);  // the last byte
  // 2048 samples fill the in FIFO after 64 us; the ones after are lost and reported once.
  uint8_t status[2] = {};
  EXPECT_EQ(chip.vendor_request(0x05, 0, 4, status, 2, 60 * kUs), 2);
  EXPECT_EQ(status[1], kHoldingEmpty | kTransmitEmpty);
  EXPECT_EQ(chip.vendor_request(0x05, 0, 4, status, 2, 70 * kUs), 2);
  EXPECT_EQ(status[1], kOverrun | kHoldingEmpty | kTransmitEmpty);
  EXPECT_EQ(chip.vendor_request(0x00, 2, 4, nullptr, 0, 70 * kUs), 0);  // purge the in FIFO
  EXPECT_EQ(chip.vendor_request(0x05, 0, 4, status, 2, 70 * kUs), 2);
  EXPECT_EQ(status[1], kHoldingEmpty | kTransmitEmpty);
  EXPECT_EQ(chip.in_queued(), 0u);
}

// ---- MPSSE commands ------------------------------------------------------------------------

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
    {"clocks without data", {0x8E, 0x07, 0x8F, 0x01, 0x00}, {}, {}, 0},
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
      HostRun r;
      if (byte_by_byte) {
        uint64_t now = 0;
        for (uint8_t b : c.command) {
          const HostRun piece = host(chip, {b}, now, now + 10 * kUs, 0, false);
          r.taken += piece.taken;
          now = piece.end_ns + kUs;
        }
        const HostRun rest = host(chip, {}, now, now + 50 * kMs, c.answer.size());
        r.in = rest.in;
      } else {
        r = host(chip, c.command, 0, 50 * kMs, c.answer.size());
      }
      EXPECT_EQ(r.taken, c.command.size());
      EXPECT_EQ(r.in, c.answer);
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
  const std::vector<uint8_t> commands = {0x8A, 0x28, 0xFF, 0xFF, 0x87, 0xAB};
  HostRun r = host(chip, commands, 0, 10 * kMs, 0, false);
  EXPECT_EQ(r.taken, commands.size());
  EXPECT_EQ(chip.in_queued(), kFifoBytes);
  EXPECT_EQ(chip.out_queued(), 2u);  // 0x87 and 0xAB wait behind the read
  EXPECT_EQ(chip.line_status(), 0);  // bytes wait in the out FIFO
  r = host(chip, {}, 10 * kMs, 100 * kMs, 65536 + 2);
  ASSERT_EQ(r.in.size(), 65536u + 2);
  for (size_t i = 0; i < 65536; ++i) ASSERT_EQ(r.in[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(r.in[65536], 0xFA);
  EXPECT_EQ(r.in[65537], 0xAB);
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
  EXPECT_EQ(answer[1], kHoldingEmpty | kTransmitEmpty);
  EXPECT_EQ(chip.vendor_request(0x03, 0x04E2, 0x0201, nullptr, 0, 0), 0);
  EXPECT_EQ(chip.baud().hz(), 9600.0);
  EXPECT_EQ(chip.vendor_request(0x90, 0, 0, answer, 2, 0), -1);  // the EEPROM: not modelled
  // Reset mode releases the pins.
  set_mode(chip, kAsyncBitbang, 0xF0);
  EXPECT_EQ(chip.mask(), 0xF0);
  set_mode(chip, kUart, 0);
  ASSERT_FALSE(peer.pin_settings.empty());
  EXPECT_EQ(peer.pin_settings.back(), std::make_pair(uint8_t{0xFF}, uint8_t{0x00}));
}

TEST(Requests, ModesThisChipHasOnTheChannelsThatHaveThem) {
  const struct {
    uint8_t mode;
    int channel;
    bool accepted;
  } cases[] = {{0x00, 3, true},  {0x01, 3, true},  {0x04, 3, true},  {0x02, 0, true},
               {0x02, 1, true},  {0x02, 2, false}, {0x02, 3, false}, {0x08, 0, false},
               {0x10, 1, false}, {0x20, 0, false}, {0x40, 0, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << int{c.mode} << " on channel " << c.channel);
    Channel chip(nullptr, c.channel);
    set_mode(chip, kSyncBitbang, 0xFF);
    const int r = chip.vendor_request(0x0B, static_cast<uint16_t>(c.mode << 8 | 0xFB),
                                      static_cast<uint16_t>(c.channel + 1), nullptr, 0, 0);
    EXPECT_EQ(r, c.accepted ? 0 : -1);
    EXPECT_EQ(chip.mode(),
              c.accepted ? c.mode : uint8_t{kSyncBitbang});  // a refusal changes nothing
    EXPECT_EQ(chip.mask(), c.accepted ? 0xFB : 0xFF);
  }
}

TEST(Requests, PortResetClearsFlowControlEventCharacterAndModemLinesButNotTheRate) {
  Channel chip;
  ASSERT_EQ(chip.vendor_request(0x02, 0, 0x0101, nullptr, 0, 0), 0);  // RTS/CTS
  ASSERT_EQ(chip.vendor_request(0x06, 0x017E, 1, nullptr, 0, 0), 0);  // '~', enabled
  ASSERT_EQ(chip.vendor_request(0x01, 0x0303, 1, nullptr, 0, 0), 0);  // DTR and RTS on
  ASSERT_EQ(chip.vendor_request(0x03, 0x0001, 0x0201, nullptr, 0, 0), 0);
  EXPECT_EQ(chip.flow_ctrl(), 0x0100);
  EXPECT_EQ(chip.event_char(), 0x017E);
  EXPECT_EQ(chip.modem_ctrl(), 3);
  ASSERT_EQ(chip.vendor_request(0x00, 0, 1, nullptr, 0, 0), 0);
  EXPECT_EQ(chip.flow_ctrl(), 0);
  EXPECT_EQ(chip.event_char(), 0);
  EXPECT_EQ(chip.modem_ctrl(), 0);
  EXPECT_EQ(chip.baud().hz(), 8e6);
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
    eight_mbaud(chip);
    const std::vector<uint8_t> written = counting(4096);
    ASSERT_EQ(host(chip, written, 0, 1 * kMs, 0, false).taken, 4096u);
    EXPECT_EQ(chip.vendor_request(0x00, c.value, 1, nullptr, 0, 1 * kMs), 0);
    chip.advance(2 * kMs);
    EXPECT_EQ(chip.out_queued(), c.out_queued);
    EXPECT_EQ(chip.in_queued(), c.in_queued);
    if (c.first_sample == kNone) continue;
    uint8_t packet[kPacketBytes];
    ASSERT_EQ(chip.give_in(packet, sizeof packet, 2 * kMs).bytes, kPacketBytes);
    EXPECT_EQ(packet[kStatusBytes], c.first_sample == 0 ? 0xFF : written[c.first_sample - 1]);
  }
}

}  // namespace
}  // namespace usbemu
