// The libftdi1 driver over a fake USB layer: the device list as the vendor's driver reports it,
// opening by location, the mapping of each call, and the receive queue's semantics.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fake_libftdi.h"
#include "session/d2xx.h"
#include "vrx5200_brdctrl.h"

namespace {

struct Entry {
  uint32_t location;
  std::string serial, description;
};

std::vector<Entry> list_entries() {
  DWORD n = 0;
  EXPECT_EQ(FT_CreateDeviceInfoList(&n), FT_OK);
  std::vector<Entry> out;
  for (DWORD i = 0; i < n; ++i) {
    DWORD flags, type, id, location;
    char serial[100] = {}, description[100] = {};
    FT_HANDLE h;
    EXPECT_EQ(FT_GetDeviceInfoDetail(i, &flags, &type, &id, &location, serial, description, &h),
              FT_OK);
    out.push_back({location, serial, description});
  }
  return out;
}

class FtdiDriverTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(); }
  FT_HANDLE open_entry(size_t i) {
    const std::vector<Entry> entries = list_entries();
    FT_HANDLE h = nullptr;
    EXPECT_EQ(FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(entries.at(i).location)),
                        FT_OPEN_BY_LOCATION, &h),
              FT_OK);
    fake::bus().calls.clear();
    return h;
  }
};

TEST_F(FtdiDriverTest, AnEmptyOrUnreachableBusListsNothing) {
  EXPECT_TRUE(list_entries().empty());
  fake::bus().find_fails = true;
  EXPECT_TRUE(list_entries().empty());
  // The library on an empty bus: discovery reports 19.
  int32_t boards = -1, length = -1;
  char keys[16];
  EXPECT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length), 19);
}

TEST_F(FtdiDriverTest, EveryChannelIsAnEntryNamedAsTheVendorsDriverNamesIt) {
  fake::Bridge quad;  // FT4232H, four channels
  fake::Bridge single;
  single.product = 0x6001;
  single.description = "USB Serial";
  single.serial = "A1B2C3";
  single.ports = {2, 3};
  fake::bus().bridges = {quad, single};
  const std::vector<Entry> e = list_entries();
  ASSERT_EQ(e.size(), 5u);
  EXPECT_EQ(e[0].description, "VRX5200 EVM A");
  EXPECT_EQ(e[3].description, "VRX5200 EVM D");
  EXPECT_EQ(e[2].serial, "FT000001C");
  EXPECT_EQ(e[4].description, "USB Serial");
  EXPECT_EQ(e[4].serial, "A1B2C3");
  for (size_t i = 0; i < e.size(); ++i) {
    for (size_t j = i + 1; j < e.size(); ++j) EXPECT_NE(e[i].location, e[j].location);
  }
  EXPECT_EQ(list_entries()[2].location, e[2].location);  // stable from one listing to the next

  // The library finds the board among them.
  int32_t boards = 0, length = 0;
  char keys[64];
  ASSERT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length), 0);
  EXPECT_EQ(boards, 1);
  EXPECT_STREQ(keys, "FT000001,");
}

TEST_F(FtdiDriverTest, OpensAChannelByLocation) {
  fake::bus().bridges = {fake::Bridge{}};
  const std::vector<Entry> e = list_entries();
  FT_HANDLE h = nullptr;
  ASSERT_EQ(FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(e[2].location)),
                      FT_OPEN_BY_LOCATION, &h),
            FT_OK);
  EXPECT_EQ(fake::bus().calls,
            (std::vector<std::string>{"ftdi_set_interface 3", "ftdi_usb_open_dev 0"}));
  FT_HANDLE again = nullptr;
  EXPECT_EQ(FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(e[2].location)),
                      FT_OPEN_BY_LOCATION, &again),
            FT_DEVICE_NOT_OPENED);
  EXPECT_EQ(FT_OpenEx(reinterpret_cast<PVOID>(uintptr_t{0x12345}), FT_OPEN_BY_LOCATION, &again),
            FT_DEVICE_NOT_FOUND);
  DWORD flags = 0;
  FT_HANDLE listed = nullptr;
  FT_GetDeviceInfoDetail(2, &flags, nullptr, nullptr, nullptr, nullptr, nullptr, &listed);
  EXPECT_EQ(flags, static_cast<DWORD>(FT_FLAGS_OPENED));
  EXPECT_EQ(listed, h);
  EXPECT_EQ(FT_Close(h), FT_OK);
  EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
  EXPECT_EQ(FT_SetBitMode(h, 0, 0), FT_INVALID_HANDLE);
}

TEST_F(FtdiDriverTest, EachCallMapsToItsLibftdiCall) {
  fake::bus().bridges = {fake::Bridge{}};
  FT_HANDLE h = open_entry(0);
  EXPECT_EQ(FT_ResetDevice(h), FT_OK);
  EXPECT_EQ(FT_SetUSBParameters(h, 65536, 65536), FT_OK);
  EXPECT_EQ(FT_SetChars(h, 0, 0, 0, 0), FT_OK);
  EXPECT_EQ(FT_SetLatencyTimer(h, 16), FT_OK);
  EXPECT_EQ(FT_Purge(h, FT_PURGE_RX | FT_PURGE_TX), FT_OK);
  EXPECT_EQ(FT_SetBitMode(h, 0xFB, 4), FT_OK);
  EXPECT_EQ(FT_SetBaudRate(h, 8000000), FT_OK);
  EXPECT_EQ(fake::bus().calls,
            (std::vector<std::string>{"ftdi_usb_reset", "ftdi_read_data_set_chunksize 65536",
                                      "ftdi_write_data_set_chunksize 65536",
                                      "ftdi_set_event_char 0 0", "ftdi_set_error_char 0 0",
                                      "ftdi_set_latency_timer 16", "ftdi_tciflush", "ftdi_tcoflush",
                                      "ftdi_set_bitmode 251 4", "ftdi_set_baudrate 8000000"}));
  UCHAR pins = 0;
  EXPECT_EQ(FT_GetBitMode(h, &pins), FT_OK);
  EXPECT_EQ(pins, 0xA5);
  ULONG modem = 0;
  EXPECT_EQ(FT_GetModemStatus(h, &modem), FT_OK);
  EXPECT_EQ(FT_Close(h), FT_OK);
}

TEST_F(FtdiDriverTest, ReceiveQueueBuffersWhatTheChipSent) {
  fake::bus().bridges = {fake::Bridge{}};
  FT_HANDLE h = open_entry(0);
  FT_SetTimeouts(h, 0, 1000);
  fake::bus().reads = {{1, 2, 3}, {4, 5}};
  DWORD queued = 0;
  EXPECT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
  EXPECT_EQ(queued, 3u);
  EXPECT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
  EXPECT_EQ(queued, 5u);
  uint8_t buffer[8] = {};
  DWORD got = 0;
  EXPECT_EQ(FT_Read(h, buffer, 4, &got), FT_OK);
  EXPECT_EQ(got, 4u);
  EXPECT_EQ(buffer[3], 4);
  EXPECT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
  EXPECT_EQ(queued, 1u);
  // More than arrives within the read time-out: what there is.
  EXPECT_EQ(FT_Read(h, buffer, 4, &got), FT_OK);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(buffer[0], 5);
  // A purge empties the queue.
  fake::bus().reads = {{9, 9}};
  FT_GetQueueStatus(h, &queued);
  FT_Purge(h, FT_PURGE_RX);
  FT_GetQueueStatus(h, &queued);
  EXPECT_EQ(queued, 0u);

  DWORD written = 0;
  uint8_t out[3] = {7, 8, 9};
  fake::bus().write_result = 2;
  EXPECT_EQ(FT_Write(h, out, 3, &written), FT_OK);
  EXPECT_EQ(written, 2u);
  fake::bus().write_result = -1;
  FT_Close(h);
}

}  // namespace
