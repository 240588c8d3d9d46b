// Board session: library state, discovery, opening, closing, purge and probe of the ports.
#include <cstring>

#include "session/ports.h"
#include "support.h"

namespace {

using sim::Call;

TEST_F(BenchTest, NoBoardSelectedAnswersWithoutTraffic) {
  bench.add_board("ABCD1234");
  EXPECT_EQ(VRX5200BrdCtrl_Close_Session(), 0);
  EXPECT_EQ(VRX5200BrdCtrl_Close_VRX_Ports(), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Clear_Buffer(), 101);
  EXPECT_EQ(VRX5200BrdCtrl_FTDI_DevStatus(), 101);
  int32_t major = -1, minor = -1;
  EXPECT_EQ(VRX5200BrdCtrl_Get_DLL_Version(&major, &minor), 0);
  EXPECT_EQ(major, 0);
  EXPECT_EQ(minor, 1);
  EXPECT_TRUE(bench.calls().empty());
  EXPECT_EQ(VRX5200BrdCtrl_Get_DLL_Version(nullptr, &minor), 108);
}

// ---- discovery ----

struct Discovered {
  int32_t result, count, length;
  std::string keys;
};

Discovered discover() {
  Discovered d{0, -1, -1, ""};
  char keys[1024];
  std::memset(keys, 'x', sizeof keys);
  keys[sizeof keys - 1] = '\0';
  d.result = VRX5200BrdCtrl_Get_VRX5200_EVM(&d.count, keys, &d.length);
  d.keys = keys;
  return d;
}

TEST_F(BenchTest, DiscoveryGroupsPortsIntoBoardsBySerialKey) {
  bench.add_board("ABCD1234");
  bench.add_board("WXYZ9876");
  const Discovered d = discover();
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.count, 2);
  EXPECT_EQ(d.keys, "ABCD1234,WXYZ9876,");
  EXPECT_EQ(d.length, 18);

  int32_t number = -1, count = -1;
  EXPECT_EQ(VRX5200BrdCtrl_InitVRX5200_EVM("WXYZ9876", &number, &count), 0);
  EXPECT_EQ(number, 1);
  EXPECT_EQ(count, 2);
  // Only eight characters are compared.
  EXPECT_EQ(VRX5200BrdCtrl_InitVRX5200_EVM("ABCD1234X", &number, &count), 0);
  EXPECT_EQ(number, 0);
  number = 7;
  EXPECT_EQ(VRX5200BrdCtrl_InitVRX5200_EVM("NOPE0000", &number, &count), 0);
  EXPECT_EQ(number, 7);
}

TEST_F(BenchTest, DiscoveryKeepsEveryEntryInTheLocationList) {
  bench.add_device("FT000001", "USB Serial Converter");
  bench.add_board("ABCD1234");
  ASSERT_EQ(discover().count, 1);
  ASSERT_EQ(vrx::g_state.location_count, 5);
  EXPECT_EQ(vrx::g_state.locations[0], bench.port(0).location);
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(vrx::g_state.boards[0].device_index[p], static_cast<uint32_t>(p + 1));
    EXPECT_EQ(vrx::g_state.locations[p + 1], bench.port(entry_of_port(p)).location);
  }
}

TEST_F(BenchTest, GroupsOfOtherSizesAreNotBoards) {
  struct Case {
    int ports;
    int boards;
  };
  for (const Case c : {Case{3, 0}, Case{4, 1}, Case{5, 0}}) {
    bench.reset();
    for (int p = 0; p < c.ports; ++p) {
      bench.add_port("KEY00001" + std::string(1, static_cast<char>('A' + p)), "VRX5200 EVM");
    }
    const Discovered d = discover();
    EXPECT_EQ(d.result, 0) << c.ports;
    EXPECT_EQ(d.count, c.boards) << c.ports;
  }
}

TEST_F(BenchTest, DescriptionMustBeginWithTheBoardName) {
  for (int p = 0; p < 4; ++p) {
    bench.add_port("KEY00001" + std::string(1, static_cast<char>('A' + p)), "VRX520 EVM");
  }
  EXPECT_EQ(discover().count, 0);
}

TEST_F(BenchTest, EmptyOrUnreadableDeviceListIsNineteen) {
  Discovered d = discover();
  EXPECT_EQ(d.result, 19);
  EXPECT_EQ(d.keys, "");
  EXPECT_EQ(d.length, 0);
  EXPECT_EQ(d.count, -1);
  int32_t number = 5, count = 6;
  EXPECT_EQ(VRX5200BrdCtrl_InitVRX5200_EVM("ABCD1234", &number, &count), 19);
  EXPECT_EQ(number, 5);
  EXPECT_EQ(count, 6);

  bench.add_board("ABCD1234");
  bench.fail_entry(2);
  d = discover();
  EXPECT_EQ(d.result, 19);
  EXPECT_EQ(vrx::g_state.location_count, 3);

  bench.clear_faults();
  bench.fail_list(true);
  EXPECT_EQ(discover().result, 19);
}

TEST_F(BenchTest, MoreThanAHundredEntriesDoNotOverrunTheTables) {
  for (int b = 0; b < 30; ++b) {
    char key[16];
    std::snprintf(key, sizeof key, "MANY%04d", b);
    bench.add_board(key);
  }
  const Discovered d = discover();
  EXPECT_EQ(d.result, 0);
  EXPECT_EQ(d.count, 25);  // the first 100 entries hold 25 boards
  EXPECT_EQ(d.length, 225);
  EXPECT_EQ(vrx::g_state.location_count, 100);
}

// ---- opening ----

TEST_F(BenchTest, OpeningSetsUpEachPortForItsRole) {
  bench.add_board("ABCD1234");
  const Discovered d = discover();
  bench.clear_calls();
  const uint64_t t0 = bench.now();
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, d.count), 0);
  EXPECT_EQ(bench.now() - t0, 1200u);  // three 200 ms pauses per MPSSE port

  const std::vector<std::string> channel = {
      "FT_OpenEx",     "FT_ResetDevice", "FT_SetUSBParameters", "FT_SetEventNotification",
      "FT_SetChars",   "FT_SetTimeouts", "FT_SetLatencyTimer",  "FT_Purge",
      "FT_SetBitMode", "FT_SetBitMode"};
  std::vector<std::string> mpsse = channel;
  mpsse.insert(mpsse.end(), {"FT_Write", "FT_Write", "FT_Write"});
  std::vector<std::string> bitbang = channel;
  bitbang.push_back("FT_SetBaudRate");
  std::vector<std::string> jtag = bitbang;
  jtag.insert(jtag.end(), {"FT_Write", "FT_Write"});
  EXPECT_EQ(names(entry_of_port(0)), mpsse);
  EXPECT_EQ(names(entry_of_port(1)), mpsse);
  EXPECT_EQ(names(entry_of_port(2)), bitbang);
  EXPECT_EQ(names(entry_of_port(3)), jtag);

  EXPECT_EQ(writes(entry_of_port(0)),
            (std::vector<Bytes>{{0x80, 0xFF, 0xFB}, {0x8A, 0x86, 0x00, 0x00}, {0x85}}));
  EXPECT_EQ(writes(entry_of_port(3)), (std::vector<Bytes>{{0x7F}, {0xFF}}));

  const std::vector<Call> p2 = bench.calls(entry_of_port(2));
  EXPECT_EQ(p2[0].args, (std::vector<uint32_t>{bench.port(entry_of_port(2)).location, 4}));
  EXPECT_EQ(p2[2].args, (std::vector<uint32_t>{65536, 65536}));
  EXPECT_EQ(p2[3].args, (std::vector<uint32_t>{0, 0}));
  EXPECT_EQ(p2[4].args, (std::vector<uint32_t>{0, 0, 0, 0}));
  EXPECT_EQ(p2[5].args, (std::vector<uint32_t>{2000, 1000}));
  EXPECT_EQ(p2[6].args, (std::vector<uint32_t>{16}));
  EXPECT_EQ(p2[7].args, (std::vector<uint32_t>{3}));
  EXPECT_EQ(p2[8].args, (std::vector<uint32_t>{0xFB, 0}));
  EXPECT_EQ(p2[9].args, (std::vector<uint32_t>{0xFB, 4}));
  EXPECT_EQ(p2[10].args, (std::vector<uint32_t>{8000000}));
  EXPECT_EQ(bench.calls(entry_of_port(3))[8].args, (std::vector<uint32_t>{0xFF, 0}));
  EXPECT_EQ(bench.calls(entry_of_port(0))[9].args, (std::vector<uint32_t>{0, 2}));

  EXPECT_EQ(bench.port(entry_of_port(0)).mode, FT_BITMODE_MPSSE);
  EXPECT_EQ(bench.port(entry_of_port(3)).mode, FT_BITMODE_SYNC_BITBANG);
  const vrx::BoardRecord& rec = vrx::g_state.boards[0];
  EXPECT_EQ(vrx::g_state.selected, 0);
  EXPECT_EQ(rec.started, 0);
  EXPECT_EQ(rec.session_kind, -1);
  EXPECT_EQ(vrx::g_state.jtag_handle, rec.port[3]);
  EXPECT_EQ(vrx::g_state.jtag_device_index, 3);
}

TEST_F(BenchTest, OpeningAnotherBoardOutOfRangeClosesTheSelectedOne) {
  open_board(2);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(5, 2), 101);
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p)));
  EXPECT_EQ(VRX5200BrdCtrl_Clear_Buffer(), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(-1, 2), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(2, 2), 101);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(100, 200), 101);
  EXPECT_TRUE(bench.calls(entry_of_port(0), "FT_OpenEx").empty());
}

TEST_F(BenchTest, FailedPortOneOpenClosesWhatOpenedAndReturnsTwo) {
  bench.add_board("ABCD1234");
  const Discovered d = discover();
  bench.fail("FT_OpenEx", entry_of_port(1), 1, FT_DEVICE_NOT_FOUND);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, d.count), 2);
  // Port 2 was still opened and set up, then closed with port 0.
  EXPECT_FALSE(bench.calls(entry_of_port(2), "FT_SetBaudRate").empty());
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p))) << p;
  EXPECT_TRUE(bench.calls(entry_of_port(3)).empty());
  EXPECT_EQ(vrx::g_state.selected, -1);
  // Nothing stays open, so the next attempt succeeds.
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, d.count), 0);
}

TEST_F(BenchTest, FailedPinSevenPulseReturnsNoBoardWithAllPortsClosed) {
  bench.add_board("ABCD1234");
  const Discovered d = discover();
  bench.short_write(entry_of_port(3), 2, 0);  // the 0xFF write
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, d.count), 101);
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p))) << p;
  EXPECT_EQ(vrx::g_state.selected, -1);
  EXPECT_EQ(vrx::g_state.jtag_device_index, -1);
}

TEST_F(BenchTest, OpeningResetsSessionKindAndStartedFlag) {
  open_board();
  vrx::g_state.boards[0].session_kind = 2;
  vrx::g_state.boards[0].started = 1;
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1), 0);
  EXPECT_EQ(vrx::g_state.boards[0].session_kind, -1);
  EXPECT_EQ(vrx::g_state.boards[0].started, 0);
}

TEST_F(BenchTest, OnlyBoardsOfTheLastDiscoveryOpen) {
  bench.add_board("BOARD001");
  bench.add_board("BOARD002");
  ASSERT_EQ(discover().count, 2);
  bench.unplug(1);
  ASSERT_EQ(discover().count, 1);
  // Board 1's record still holds its old device indices: the caller's old count must not open
  // them (the location list now holds fewer entries, and on a bus another device's).
  bench.clear_calls();
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(1, 2), 101);
  // A discovery that fails finds no board at all.
  bench.fail_entry(2);
  EXPECT_EQ(discover().result, 19);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1), 101);
  EXPECT_TRUE(bench.calls(-1, "FT_OpenEx").empty());
  for (size_t e = 0; e < 8; ++e) EXPECT_TRUE(bench.calls(static_cast<int>(e), "FT_OpenEx").empty());
  bench.clear_faults();
  ASSERT_EQ(discover().count, 1);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1), 0);
}

TEST_F(BenchTest, FailedOpenLeavesNoBoardSelectedEvenWhenTheCloseFails) {
  open_board(2);
  bench.fail("FT_Close", entry_of_port(0), 1, FT_IO_ERROR);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(5, 2), 101);
  EXPECT_EQ(vrx::g_state.selected, -1);
  EXPECT_EQ(VRX5200BrdCtrl_Clear_Buffer(), 101);
}

// Discovery renumbers the boards; the open board's session goes with it, so its ports can still
// be used and closed, whatever happened to the device list.
TEST_F(BenchTest, RediscoveryKeepsTheOpenBoard) {
  bench.add_board("BOARD001");
  bench.add_board("BOARD002");
  board(1).regs[5] = 0x25;
  bench.unplug(0);
  ASSERT_EQ(discover().count, 1);
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1), 0);  // BOARD002, as number 0
  bench.replug(0);
  ASSERT_EQ(discover().count, 2);  // now BOARD001 is 0 and BOARD002 is 1
  EXPECT_EQ(vrx::g_state.selected, 1);
  int32_t value = -1;
  EXPECT_EQ(VRX5200BrdCtrl_Read_Register(5, &value), 0);
  EXPECT_EQ(value, 0x25);
  EXPECT_EQ(VRX5200BrdCtrl_Close_VRX_Ports(), 0);
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p, 1))) << p;

  // The open board gone from the list: its session keeps its handles, which still close.
  ASSERT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 2), 0);  // BOARD001
  bench.unplug(0);
  ASSERT_EQ(discover().count, 1);
  EXPECT_EQ(VRX5200BrdCtrl_Close_Session(), 0);
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p, 0))) << p;
  bench.replug(0);
  ASSERT_EQ(discover().count, 2);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, 2), 0);
}

// ---- closing, purge, probe ----

TEST_F(BenchTest, ClosingResetsEachPortAndForgetsTheBoard) {
  open_board();
  ASSERT_EQ(VRX5200BrdCtrl_Close_VRX_Ports(), 0);
  for (int p = 0; p < 4; ++p) {
    EXPECT_EQ(names(entry_of_port(p)), (std::vector<std::string>{"FT_SetBitMode", "FT_Purge",
                                                                 "FT_ResetDevice", "FT_Close"}));
    EXPECT_EQ(vrx::g_state.boards[0].port[p], vrx::closed_handle());
  }
  EXPECT_EQ(vrx::g_state.boards[0].started, -1);
  EXPECT_EQ(vrx::g_state.boards[0].session_kind, -1);
  EXPECT_EQ(vrx::g_state.jtag_handle, vrx::closed_handle());
  EXPECT_EQ(vrx::g_state.jtag_device_index, -1);
  EXPECT_EQ(vrx::g_state.selected, -1);
}

TEST_F(BenchTest, FailingCloseStopsAndKeepsTheBoardSelected) {
  open_board();
  bench.fail("FT_Close", entry_of_port(1), 1, FT_IO_ERROR);
  EXPECT_EQ(VRX5200BrdCtrl_Close_VRX_Ports(), FT_IO_ERROR);
  EXPECT_FALSE(bench.is_open(entry_of_port(0)));
  for (int p = 1; p < 4; ++p) EXPECT_TRUE(bench.is_open(entry_of_port(p)));
  EXPECT_EQ(vrx::g_state.boards[0].port[0], vrx::closed_handle());
  EXPECT_EQ(vrx::g_state.selected, 0);

  // Close_Session reports the same failure but leaves no board selected; the slot closed
  // before is skipped, so a later attempt can close the rest.
  bench.fail("FT_Close", entry_of_port(1), 1, FT_IO_ERROR);
  EXPECT_EQ(VRX5200BrdCtrl_Close_Session(), FT_IO_ERROR);
  EXPECT_EQ(vrx::g_state.selected, -1);
  EXPECT_TRUE(bench.is_open(entry_of_port(1)));
  vrx::g_state.selected = 0;
  EXPECT_EQ(VRX5200BrdCtrl_Close_VRX_Ports(), 0);
  for (int p = 0; p < 4; ++p) EXPECT_FALSE(bench.is_open(entry_of_port(p)));
}

TEST_F(BenchTest, ClearBufferPurgesAllFourAndOrsTheStatuses) {
  open_board();
  bench.fail("FT_Purge", entry_of_port(0), 1, 0x10);
  bench.fail("FT_Purge", entry_of_port(2), 1, 0x04);
  EXPECT_EQ(VRX5200BrdCtrl_Clear_Buffer(), 0x14);
  for (int p = 0; p < 4; ++p)
    EXPECT_EQ(names(entry_of_port(p)), std::vector<std::string>{"FT_Purge"});
}

TEST_F(BenchTest, DevStatusReportsAGonePortAsOne) {
  open_board();
  EXPECT_EQ(VRX5200BrdCtrl_FTDI_DevStatus(), 0);
  bench.fail("FT_GetModemStatus", entry_of_port(1), 1, FT_IO_ERROR);
  EXPECT_EQ(VRX5200BrdCtrl_FTDI_DevStatus(), 1);
  EXPECT_TRUE(bench.calls(entry_of_port(2), "FT_GetModemStatus").size() == 1);
  bench.unplug(0);
  EXPECT_EQ(VRX5200BrdCtrl_FTDI_DevStatus(), 1);
}

TEST_F(BenchTest, UnpluggedBoardClosesAndReopensAfterReplug) {
  open_board();
  bench.unplug(0);
  EXPECT_EQ(VRX5200BrdCtrl_Close_Session(), 0);  // closing releases even a gone port
  bench.replug(0);
  int32_t count = 0, length = 0;
  char keys[64];
  ASSERT_EQ(VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length), 0);
  EXPECT_EQ(VRX5200BrdCtrl_Open_VRX5200_Ports(0, count), 0);
}

// ---- port primitives ----

TEST_F(BenchTest, PortWriteReportsShortCountBeforeDriverStatus) {
  open_board();
  FT_HANDLE h = vrx::g_state.boards[0].port[2];
  const uint8_t bytes[4] = {1, 2, 3, 4};
  bench.short_write(entry_of_port(2), 1, 3);
  EXPECT_EQ(vrx::port_write(h, bytes, 4, 0), 10);
  bench.fail("FT_Write", entry_of_port(2), 1, FT_IO_ERROR);  // fails with nothing written
  EXPECT_EQ(vrx::port_write(h, bytes, 4, 0), 10);
  const uint64_t t0 = bench.now();
  EXPECT_EQ(vrx::port_write(h, bytes, 4, 25), 0);
  EXPECT_EQ(bench.now() - t0, 25u);
}

TEST_F(BenchTest, PortReadWaitsTenSecondsThenGivesUp) {
  open_board();
  FT_HANDLE h = vrx::g_state.boards[0].port[2];
  uint8_t buffer[8];
  // Zero bytes: no poll at all.
  EXPECT_EQ(vrx::port_read(h, 0, buffer), 0);
  EXPECT_TRUE(bench.calls(entry_of_port(2), "FT_GetQueueStatus").empty());
  bench.clear_calls();

  const uint64_t t0 = bench.now();
  EXPECT_EQ(vrx::port_read(h, 1, buffer), 9);
  EXPECT_EQ(bench.now() - t0, 10001u);  // one virtual millisecond per poll
  EXPECT_TRUE(bench.calls(entry_of_port(2), "FT_Read").empty());

  const uint8_t byte = 0xAA;
  ASSERT_EQ(vrx::port_write(h, &byte, 1, 0), 0);  // queues one pin-state byte
  bench.short_read(entry_of_port(2), 1, 0);
  EXPECT_EQ(vrx::port_read(h, 1, buffer), 8);
  bench.fail("FT_GetQueueStatus", entry_of_port(2), 0, FT_IO_ERROR);
  EXPECT_EQ(vrx::port_read(h, 1, buffer), FT_IO_ERROR);
}

TEST_F(BenchTest, PortReadSurvivesClockWrap) {
  open_board();
  bench.set_now(0xFFFFFFFFull - 5);  // the 32-bit clock wraps during the wait
  uint8_t buffer[1];
  const uint64_t t0 = bench.now();
  EXPECT_EQ(vrx::port_read(vrx::g_state.boards[0].port[2], 1, buffer), 9);
  EXPECT_EQ(bench.now() - t0, 10001u);
}

}  // namespace
