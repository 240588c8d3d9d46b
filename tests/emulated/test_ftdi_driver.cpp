// The libftdi1 driver (platform/ftdi_driver.cpp) on Debian's libftdi1 and libusb's interface, over
// the emulated bridge: run under run-emulated, one process per bus configuration.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/location.h"
#include "session/d2xx.h"

namespace {

constexpr DWORD kHighSpeed = 2;  // the device list's flag of a high-speed bridge
constexpr DWORD kType4232H = 7;

struct Entry {
  DWORD flags = 0, location = 0, type = 0;
  char serial[100] = {}, description[100] = {};
  FT_HANDLE handle = nullptr;
};

Entry entry(DWORD index) {
  Entry e;
  DWORD id = 0;
  EXPECT_EQ(FT_GetDeviceInfoDetail(index, &e.flags, &e.type, &id, &e.location, e.serial,
                                   e.description, &e.handle),
            FT_OK);
  return e;
}

FT_HANDLE open_entry(DWORD index) {
  FT_HANDLE h = nullptr;
  const uintptr_t location = entry(index).location;
  EXPECT_EQ(FT_OpenEx(reinterpret_cast<PVOID>(location), FT_OPEN_BY_LOCATION, &h), FT_OK);
  return h;
}

// What the emulated chip holds for a channel (board and channel from 1): the nominal rate it
// decoded from the baud-rate request, the bit-bang clock that gives (a multiple of it), and the
// time-out of the last bulk IN transfer asked of it.
double probe_hz(const char* name, int board, int channel) {
  using Probe = double (*)(int, int);
  const auto probe = reinterpret_cast<Probe>(dlsym(RTLD_DEFAULT, name));
  return probe != nullptr ? probe(board, channel) : -1.0;
}
int in_timeout_ms(int board, int channel) {
  using Probe = int (*)(int, int);
  const auto probe = reinterpret_cast<Probe>(dlsym(RTLD_DEFAULT, "libusb_emulator_in_timeout_ms"));
  return probe != nullptr ? probe(board, channel) : -1;
}

DWORD listed() {
  DWORD n = 0;
  EXPECT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
  return n;
}

// Two boards on the bus: eight channels.
TEST(Driver, ListsEveryChannelAndOpensItAfterDiscoveryFreedItsContext) {
  ASSERT_EQ(listed(), 8u);
  std::vector<FT_HANDLE> handles;
  std::vector<DWORD> locations;
  for (DWORD i = 0; i < 8; ++i) {
    const Entry e = entry(i);
    const char channel = static_cast<char>('A' + i % 4);
    EXPECT_EQ(std::string(e.serial), "EMU0000" + std::to_string(1 + i / 4) + channel);
    EXPECT_EQ(std::string(e.description), std::string("VRX5200 EVM ") + channel);
    EXPECT_EQ(e.type, kType4232H);
    EXPECT_EQ(e.flags, kHighSpeed);
    EXPECT_EQ(std::count(locations.begin(), locations.end(), e.location), 0);
    locations.push_back(e.location);
    handles.push_back(open_entry(i));
  }
  for (DWORD i = 0; i < 8; ++i) {
    const Entry e = entry(i);
    EXPECT_EQ(e.flags, static_cast<DWORD>(FT_FLAGS_OPENED) | kHighSpeed);
    EXPECT_EQ(e.handle, handles[i]);
  }
  FT_HANDLE again = nullptr;
  EXPECT_EQ(
      FT_OpenEx(reinterpret_cast<PVOID>(uintptr_t{locations[0]}), FT_OPEN_BY_LOCATION, &again),
      FT_DEVICE_NOT_OPENED);
  // A new discovery while the channels are open: they stay open and usable.
  EXPECT_EQ(listed(), 8u);
  ULONG modem = 0;
  for (FT_HANDLE h : handles) EXPECT_EQ(FT_GetModemStatus(h, &modem), FT_OK);
  for (FT_HANDLE h : handles) EXPECT_EQ(FT_Close(h), FT_OK);
}

// The command link: synchronous bit-bang at 8,000,000 baud, one register run of a session
// configuration written at once, every pin state read back.
TEST(Driver, SyncBitBangTakesTheLibrarysRateAndLongWrites) {
  ASSERT_EQ(listed(), 8u);
  FT_HANDLE h = open_entry(2);
  ASSERT_EQ(FT_SetTimeouts(h, 2000, 1000), FT_OK);
  ASSERT_EQ(FT_SetLatencyTimer(h, 16), FT_OK);
  ASSERT_EQ(FT_SetBitMode(h, 0x0B, FT_BITMODE_RESET), FT_OK);
  ASSERT_EQ(FT_SetBitMode(h, 0x0B, FT_BITMODE_SYNC_BITBANG), FT_OK);
  EXPECT_EQ(FT_SetBaudRate(h, 8000000), FT_OK);
  EXPECT_EQ(FT_SetBaudRate(h, 1), FT_INVALID_BAUD_RATE);
  ASSERT_EQ(FT_SetBaudRate(h, 8000000), FT_OK);
  // The divisor the chip got is the one for 8,000,000 itself (12 MHz / 1.5), as bit-bang or not;
  // the bit clock is a multiple of it.
  EXPECT_DOUBLE_EQ(probe_hz("libusb_emulator_baud_hz", 1, 3), 8e6);
  const double multiple = probe_hz("libusb_emulator_bit_clock_hz", 1, 3) / 8e6;
  EXPECT_TRUE(multiple == 1 || multiple == 4 || multiple == 16) << multiple;
  // Select deasserted (bit 3 high) all along: the board ignores the clocks.
  std::vector<uint8_t> pins(30000);
  for (size_t i = 0; i < pins.size(); ++i) pins[i] = static_cast<uint8_t>(0x08 | (i & 1));
  DWORD written = 0;
  ASSERT_EQ(FT_Write(h, pins.data(), static_cast<DWORD>(pins.size()), &written), FT_OK);
  EXPECT_EQ(written, pins.size());
  std::vector<uint8_t> states(pins.size() + 1);
  DWORD got = 0;
  ASSERT_EQ(FT_Read(h, states.data(), static_cast<DWORD>(pins.size()), &got), FT_OK);
  EXPECT_EQ(got, pins.size());
  // libftdi's transfers wait no longer than the caller's read time-out (its own default: 5 s).
  EXPECT_GT(in_timeout_ms(1, 3), 0);
  EXPECT_LE(in_timeout_ms(1, 3), 2000);
  // Nothing more: one state per byte written. A read then ends at the time-out with nothing.
  ASSERT_EQ(FT_SetTimeouts(h, 50, 1000), FT_OK);
  EXPECT_EQ(FT_Read(h, states.data(), 1, &got), FT_OK);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(FT_Close(h), FT_OK);
}

// A write time-out of 0 means no limit, as the vendor's driver takes it: 8 KiB clocked out at
// 1 MHz (65 ms) all go.
TEST(Driver, AWriteTimeOutOfZeroWaitsAsLongAsTheChipNeeds) {
  ASSERT_EQ(listed(), 8u);
  FT_HANDLE h = open_entry(0);
  ASSERT_EQ(FT_SetTimeouts(h, 1000, 0), FT_OK);
  ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK);
  std::vector<uint8_t> bytes = {0x8A, 0x86, 0x1D, 0x00, 0x19, 0xFF, 0x1F};  // 1 MHz, 8192 out
  bytes.resize(bytes.size() + 8192, 0x5A);
  DWORD written = 0;
  EXPECT_EQ(FT_Write(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written), FT_OK);
  EXPECT_EQ(written, bytes.size());
  EXPECT_EQ(FT_Close(h), FT_OK);
}

// Every port has its own lock: while one waits on its chip (a queue poll waiting for the
// latency timer of 255 ms), calls on another port go on.
TEST(Driver, APortWaitingOnItsChipKeepsNoOtherPortWaiting) {
  ASSERT_EQ(listed(), 8u);
  FT_HANDLE a = open_entry(2), b = open_entry(5);
  ASSERT_EQ(FT_SetTimeouts(a, 2000, 1000), FT_OK);
  ASSERT_EQ(FT_SetLatencyTimer(a, 255), FT_OK);
  std::atomic<int> stage{0};
  std::thread waiting([&] {
    DWORD queued = 0;
    EXPECT_EQ(FT_GetQueueStatus(a, &queued), FT_OK);  // the timer ran out long ago: at once
    stage = 1;
    EXPECT_EQ(FT_GetQueueStatus(a, &queued), FT_OK);  // now a whole latency period
    stage = 2;
  });
  while (stage == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ULONG modem = 0;
  for (int i = 0; i < 10; ++i) EXPECT_EQ(FT_GetModemStatus(b, &modem), FT_OK);
  EXPECT_EQ(stage, 1) << "the calls on the other port waited for the poll";
  waiting.join();
  EXPECT_EQ(FT_Close(a), FT_OK);
  EXPECT_EQ(FT_Close(b), FT_OK);
}

// A purge of both sides leaves nothing behind, even with bytes written in synchronous bit-bang
// still waiting in the chip to be clocked out (their pin states would come after the purge).
TEST(Driver, APurgeOfBothSidesLeavesNoPinStatesBehind) {
  ASSERT_EQ(listed(), 8u);
  FT_HANDLE h = open_entry(3);
  ASSERT_EQ(FT_SetTimeouts(h, 100, 1000), FT_OK);
  ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
  ASSERT_EQ(FT_SetBitMode(h, 0xFF, FT_BITMODE_SYNC_BITBANG), FT_OK);
  ASSERT_EQ(FT_SetBaudRate(h, 8000000), FT_OK);
  std::vector<uint8_t> pins(3072, 0xFF);
  DWORD n = 0;
  ASSERT_EQ(FT_Write(h, pins.data(), static_cast<DWORD>(pins.size()), &n), FT_OK);
  ASSERT_EQ(n, pins.size());  // nobody read: the receive FIFO is full, 1 KiB waits to go out
  ASSERT_EQ(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(FT_Read(h, pins.data(), 1, &n), FT_OK);
  EXPECT_EQ(n, 0u);
  // And the bytes written next come back one for one.
  ASSERT_EQ(FT_Write(h, pins.data(), 3000, &n), FT_OK);
  ASSERT_EQ(FT_Read(h, pins.data(), 3000, &n), FT_OK);
  EXPECT_EQ(n, 3000u);
  EXPECT_EQ(FT_Read(h, pins.data(), 1, &n), FT_OK);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(FT_Close(h), FT_OK);
}

// Closing frees the handle and its receive reserve; a closed handle is refused.
TEST(Driver, ClosingFreesTheHandle) {
  ASSERT_EQ(listed(), 8u);
  FT_HANDLE first = open_entry(0);
  ASSERT_EQ(FT_Close(first), FT_OK);
  const size_t before = mallinfo2().uordblks;
  for (int i = 0; i < 100; ++i) {
    FT_HANDLE h = open_entry(static_cast<DWORD>(i % 8));
    ASSERT_EQ(FT_Close(h), FT_OK);
  }
  EXPECT_LT(mallinfo2().uordblks - std::min(before, mallinfo2().uordblks), size_t{1} << 20);
  DWORD n = 0;
  EXPECT_EQ(FT_Close(first), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_Write(first, &n, 1, &n), FT_INVALID_HANDLE);
  EXPECT_EQ(entry(0).flags, kHighSpeed);
}

// Location IDs: the packed form while the path fits, a number of its own otherwise; never two
// sockets with one ID.
TEST(LocationTable, PacksShortPathsAndNumbersTheOthers) {
  platform::LocationTable table;
  const struct {
    uint8_t bus;
    std::vector<uint8_t> path;
    int channel;
    uint32_t want;
  } cases[] = {
      {1, {2}, 0, 0x01000021},
      {1, {2}, 3, 0x01000024},
      {3, {1, 4, 2}, 1, 0x03001422},
      {1, {1, 2, 3, 4, 5}, 0, 0x01123451},
      {1, {1, 2, 3, 4, 5, 6}, 0, 0xFF000001},  // six hubs deep
      {1, {16}, 0, 0xFF000011},                // a port above 15
      {1, {1, 2, 3, 4, 5, 6}, 2, 0xFF000003},  // same socket, another channel
      {255, {1}, 0, 0xFF000021},               // bus 255
  };
  for (const auto& c : cases) {
    EXPECT_EQ(table.of(c.bus, c.path, c.channel), c.want) << int(c.bus) << " " << c.path.size();
  }
}

// An EEPROM without a serial number: the channels keep their descriptions (discovery finds the
// board by them) and their type.
TEST(NoSerial, DiscoveryKeepsWhatItCouldRead) {
  ASSERT_EQ(listed(), 4u);
  for (DWORD i = 0; i < 4; ++i) {
    const Entry e = entry(i);
    EXPECT_STREQ(e.serial, "");
    EXPECT_EQ(std::string(e.description), std::string("VRX5200 EVM ") + static_cast<char>('A' + i));
    EXPECT_EQ(e.type, kType4232H);
  }
}

// No permission on the bridge: its channels are listed without names, and opening says so.
TEST(DenyAccess, ListsTheChannelsWithoutNamesAndCannotOpenThem) {
  ASSERT_EQ(listed(), 4u);
  const Entry e = entry(0);
  EXPECT_STREQ(e.serial, "");
  EXPECT_STREQ(e.description, "");
  FT_HANDLE h = nullptr;
  EXPECT_EQ(FT_OpenEx(reinterpret_cast<PVOID>(uintptr_t{e.location}), FT_OPEN_BY_LOCATION, &h),
            FT_DEVICE_NOT_OPENED);
}

// The board is unplugged after a few bulk transfers: calls then say the device is gone, and a
// new discovery no longer lists it.
TEST(Unplug, CallsSayTheDeviceIsGone) {
  ASSERT_EQ(listed(), 4u);
  FT_HANDLE h = open_entry(0);
  ASSERT_EQ(FT_SetTimeouts(h, 200, 200), FT_OK);
  uint8_t bytes[64] = {};
  DWORD moved = 0;
  FT_STATUS status = FT_OK;
  for (int i = 0; i < 20 && status == FT_OK; ++i) status = FT_Write(h, bytes, 1, &moved);
  EXPECT_EQ(status, FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_Read(h, bytes, 1, &moved), FT_DEVICE_NOT_FOUND);
  ULONG modem = 0;
  EXPECT_EQ(FT_GetModemStatus(h, &modem), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(FT_Close(h), FT_OK);
  EXPECT_EQ(listed(), 0u);
}

}  // namespace
