// Debian's libftdi1 on the emulated bus, as on the hardware: run through run-emulated (see
// usbemu/CMakeLists.txt for the bus each suite needs). Emulated.* and Lifetime.* want two boards;
// Unplug.*, DenyAccess.* and Busy.* want their fault and skip without it; Rates.* want the wall
// clock.
#include <ftdi.h>
#include <gtest/gtest.h>
#include <libusb.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kVendor = 0x0403, kProduct = 0x6011;

struct FtdiFree {
  void operator()(ftdi_context* c) const {
    if (c->usb_dev != nullptr) ftdi_usb_close(c);
    ftdi_free(c);
  }
};
using Ftdi = std::unique_ptr<ftdi_context, FtdiFree>;

// Opens one channel of a board by its serial number, as libftdi users do.
Ftdi open_channel(ftdi_interface channel, const char* serial = "EMU00001") {
  Ftdi c(ftdi_new());
  EXPECT_EQ(ftdi_set_interface(c.get(), channel), 0);
  const int r = ftdi_usb_open_desc(c.get(), kVendor, kProduct, "VRX5200 EVM", serial);
  EXPECT_EQ(r, 0) << ftdi_get_error_string(c.get());
  if (r != 0) return nullptr;
  return c;
}

bool on_emulated_bus() {
  Ftdi c(ftdi_new());
  ftdi_device_list* list = nullptr;
  bool emulated = false;
  if (ftdi_usb_find_all(c.get(), &list, kVendor, kProduct) > 0) {
    char serial[64] = {};
    emulated = ftdi_usb_get_strings(c.get(), list->dev, nullptr, 0, nullptr, 0, serial,
                                    sizeof serial) == 0 &&
               std::strncmp(serial, "EMU", 3) == 0;
  }
  ftdi_list_free(&list);
  return emulated;
}

class Emulated : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(on_emulated_bus()) << "no emulated board: run through run-emulated --boards 2";
  }
};

std::vector<uint8_t> pattern(size_t n) {
  std::vector<uint8_t> bytes(n);
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + i / 256);
  return bytes;
}

// Reads exactly n bytes with ftdi_read_data, which returns what has arrived.
std::vector<uint8_t> read_exactly(ftdi_context* c, size_t n) {
  std::vector<uint8_t> got(n);
  size_t have = 0;
  for (int attempts = 0; have < n && attempts < 1000; ++attempts) {
    const int r = ftdi_read_data(c, got.data() + have, static_cast<int>(n - have));
    if (r < 0) {
      ADD_FAILURE() << "ftdi_read_data: " << ftdi_get_error_string(c);
      break;
    }
    have += static_cast<size_t>(r);
  }
  got.resize(have);
  return got;
}

// A channel in synchronous bit-bang with every pin an output, everything purged, a fast bit
// clock, the latency timer at 1 ms so that the tail of each read comes quickly.
void sync_bitbang(ftdi_context* c) {
  ASSERT_EQ(ftdi_set_bitmode(c, 0x00, BITMODE_RESET), 0);  // the pins go high
  ASSERT_EQ(ftdi_set_bitmode(c, 0xFF, BITMODE_SYNCBB), 0);
  ASSERT_EQ(ftdi_set_baudrate(c, 1000000), 0);  // libftdi asks for 4 MHz in bit-bang
  ASSERT_EQ(ftdi_set_latency_timer(c, 1), 0);
  ASSERT_EQ(ftdi_tcioflush(c), 0);
}

// In synchronous bit-bang every byte read is the pins sampled before a byte written was applied:
// all high, then the bytes written.
void expect_samples(const std::vector<uint8_t>& got, const std::vector<uint8_t>& written) {
  ASSERT_EQ(got.size(), written.size());
  for (size_t i = 0; i < got.size(); ++i)
    ASSERT_EQ(got[i], i == 0 ? 0xFF : written[i - 1]) << "sample " << i;
}

TEST_F(Emulated, ListsTheBoardsWithTheirDescriptors) {
  Ftdi c(ftdi_new());
  ftdi_device_list* list = nullptr;
  ASSERT_EQ(ftdi_usb_find_all(c.get(), &list, 0, 0), 2);  // 0, 0: every known bridge
  int n = 1;
  for (ftdi_device_list* d = list; d != nullptr; d = d->next, ++n) {
    char manufacturer[64], description[64], serial[64];
    ASSERT_EQ(ftdi_usb_get_strings(c.get(), d->dev, manufacturer, 64, description, 64, serial, 64),
              0);
    EXPECT_STREQ(manufacturer, "FTDI");
    EXPECT_STREQ(description, "VRX5200 EVM");
    EXPECT_EQ(std::string(serial), "EMU0000" + std::to_string(n));
    libusb_device_descriptor desc{};
    ASSERT_EQ(libusb_get_device_descriptor(d->dev, &desc), 0);
    EXPECT_EQ(desc.idVendor, kVendor);
    EXPECT_EQ(desc.idProduct, kProduct);
    EXPECT_EQ(desc.bcdDevice, 0x0800);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(d->dev, 0, &config), 0);
    ASSERT_EQ(config->bNumInterfaces, 4);
    for (int i = 0; i < 4; ++i) {
      const libusb_interface_descriptor& alt = config->interface[i].altsetting[0];
      ASSERT_EQ(alt.bNumEndpoints, 2);
      EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81 + 2 * i);
      EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x02 + 2 * i);
      EXPECT_EQ(alt.endpoint[0].wMaxPacketSize, 512);
    }
    libusb_free_config_descriptor(config);
    uint8_t ports[7];
    EXPECT_EQ(libusb_get_port_numbers(d->dev, ports, 7), 2);
  }
  ftdi_list_free(&list);
}

TEST_F(Emulated, OpensEveryChannelOnceAtATime) {
  for (ftdi_interface channel : {INTERFACE_A, INTERFACE_B, INTERFACE_C, INTERFACE_D}) {
    SCOPED_TRACE(testing::Message() << "channel " << static_cast<char>('A' + channel - 1));
    Ftdi c = open_channel(channel);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->type, TYPE_4232H);
    EXPECT_EQ(c->max_packet_size, 512u);
    unsigned char latency = 0;
    EXPECT_EQ(ftdi_get_latency_timer(c.get(), &latency), 0);
    EXPECT_EQ(latency, 16);
    unsigned short status = 0;
    EXPECT_EQ(ftdi_poll_modem_status(c.get(), &status), 0);
    EXPECT_EQ(status, 0x6001);
  }
  // A channel is claimed by one handle: a second open of it fails, another channel opens.
  Ftdi a = open_channel(INTERFACE_A);
  ASSERT_TRUE(a);
  Ftdi again(ftdi_new());
  ftdi_set_interface(again.get(), INTERFACE_A);
  EXPECT_EQ(ftdi_usb_open_desc(again.get(), kVendor, kProduct, nullptr, "EMU00001"), -5);
  EXPECT_TRUE(open_channel(INTERFACE_B));
  EXPECT_TRUE(open_channel(INTERFACE_A, "EMU00002"));
}

TEST_F(Emulated, SyncBitbangWriteWithNobodyReadingStopsAtTheFifos) {
  Ftdi c = open_channel(INTERFACE_C);
  ASSERT_TRUE(c);
  sync_bitbang(c.get());
  const std::vector<uint8_t> bytes = pattern(30000);
  // The chip takes what its two 2 KiB FIFOs hold, then refuses packets until the time-out.
  int moved = -1;
  EXPECT_EQ(libusb_bulk_transfer(c->usb_dev, static_cast<unsigned char>(c->in_ep),
                                 const_cast<uint8_t*>(bytes.data()), 30000, &moved, 100),
            LIBUSB_ERROR_TIMEOUT);
  EXPECT_EQ(moved, 4096);
  // libftdi reports the time-out as a failed write.
  ASSERT_EQ(ftdi_tcioflush(c.get()), 0);
  c->usb_write_timeout = 100;
  EXPECT_LT(ftdi_write_data(c.get(), bytes.data(), 30000), 0);
}

TEST_F(Emulated, SyncBitbangReadsBackOneBytePerByteWritten) {
  Ftdi c = open_channel(INTERFACE_A);
  ASSERT_TRUE(c);
  sync_bitbang(c.get());
  const std::vector<uint8_t> bytes = pattern(30000);
  std::vector<uint8_t> got;
  for (size_t at = 0; at < bytes.size(); at += 1000) {
    ASSERT_EQ(ftdi_write_data(c.get(), bytes.data() + at, 1000), 1000);
    const std::vector<uint8_t> piece = read_exactly(c.get(), 1000);
    got.insert(got.end(), piece.begin(), piece.end());
  }
  expect_samples(got, bytes);
  // Nothing more comes.
  uint8_t extra[16];
  EXPECT_EQ(ftdi_read_data(c.get(), extra, sizeof extra), 0);
}

TEST_F(Emulated, AWriteAndAReadInFlightTogetherFlow) {
  Ftdi c = open_channel(INTERFACE_B);
  ASSERT_TRUE(c);
  sync_bitbang(c.get());
  std::vector<uint8_t> bytes = pattern(30000), got(30000);
  ftdi_transfer_control* write = ftdi_write_data_submit(c.get(), bytes.data(), 30000);
  ftdi_transfer_control* read = ftdi_read_data_submit(c.get(), got.data(), 30000);
  ASSERT_NE(write, nullptr);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(ftdi_transfer_data_done(write), 30000);
  EXPECT_EQ(ftdi_transfer_data_done(read), 30000);
  expect_samples(got, bytes);
}

TEST_F(Emulated, MpsseAnswersCommands) {
  Ftdi c = open_channel(INTERFACE_A);
  ASSERT_TRUE(c);
  ASSERT_EQ(ftdi_set_bitmode(c.get(), 0x00, BITMODE_RESET), 0);
  ASSERT_EQ(ftdi_set_bitmode(c.get(), 0x00, BITMODE_MPSSE), 0);
  ASSERT_EQ(ftdi_tcioflush(c.get()), 0);
  // An opcode the engine does not know comes back after 0xFA (the latency timer sends it).
  const uint8_t bad[] = {0xAB};
  ASSERT_EQ(ftdi_write_data(c.get(), bad, 1), 1);
  EXPECT_EQ(read_exactly(c.get(), 2), (std::vector<uint8_t>{0xFA, 0xAB}));
  // Four bytes clocked in with the select line high: the board drives nothing (all ones); the
  // send-immediate sends them at once.
  const uint8_t read4[] = {0x80, 0xFF, 0xFB, 0x28, 0x03, 0x00, 0x87};
  ASSERT_EQ(ftdi_write_data(c.get(), read4, sizeof read4), static_cast<int>(sizeof read4));
  EXPECT_EQ(read_exactly(c.get(), 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST_F(Emulated, AsyncBitbangPinsFollowTheWrites) {
  Ftdi c = open_channel(INTERFACE_D);
  ASSERT_TRUE(c);
  // The JTAG port: pin 2 is TDO, an input the board drives (high outside the shift states).
  ASSERT_EQ(ftdi_set_bitmode(c.get(), 0xFB, BITMODE_BITBANG), 0);
  const struct {
    uint8_t written, read;
  } steps[] = {{0x5A, 0x5E}, {0xA1, 0xA5}, {0x00, 0x04}, {0xFF, 0xFF}};
  for (const auto& step : steps) {
    ASSERT_EQ(ftdi_write_data(c.get(), &step.written, 1), 1);
    unsigned char pins = 0;
    ASSERT_EQ(ftdi_read_pins(c.get(), &pins), 0);
    EXPECT_EQ(pins, step.read) << "after writing " << int{step.written};
  }
}

TEST_F(Emulated, ControlRequestsReachTheChannelOfTheIndex) {
  Ftdi c = open_channel(INTERFACE_C);
  ASSERT_TRUE(c);
  EXPECT_EQ(ftdi_set_latency_timer(c.get(), 7), 0);
  Ftdi d = open_channel(INTERFACE_D);
  ASSERT_TRUE(d);
  unsigned char latency = 0;
  ASSERT_EQ(ftdi_get_latency_timer(d.get(), &latency), 0);
  EXPECT_EQ(latency, 16);
  ASSERT_EQ(ftdi_get_latency_timer(c.get(), &latency), 0);
  EXPECT_EQ(latency, 7);
  EXPECT_EQ(ftdi_set_baudrate(c.get(), 8000000), 0);
  EXPECT_EQ(ftdi_set_event_char(c.get(), 0, 0), 0);
  EXPECT_EQ(ftdi_set_error_char(c.get(), 0, 0), 0);
  EXPECT_EQ(ftdi_setflowctrl(c.get(), SIO_DISABLE_FLOW_CTRL), 0);
  EXPECT_EQ(ftdi_setdtr_rts(c.get(), 1, 1), 0);
  EXPECT_EQ(ftdi_set_line_property(c.get(), BITS_8, STOP_BIT_1, NONE), 0);
}

// The kernel's serial driver holds every interface of a board just plugged in: claiming one
// fails until it is detached (libftdi detaches it when it opens a channel).
TEST_F(Emulated, TheKernelsSerialDriverHoldsTheInterfacesUntilDetached) {
  libusb_context* ctx = nullptr;
  ASSERT_EQ(libusb_init(&ctx), 0);
  libusb_device** list = nullptr;
  ASSERT_EQ(libusb_get_device_list(ctx, &list), 2);
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(list[1], &h), 0);  // board 2: no test opened it yet
  EXPECT_EQ(libusb_kernel_driver_active(h, 2), 1);
  EXPECT_EQ(libusb_claim_interface(h, 2), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(libusb_detach_kernel_driver(h, 2), 0);
  EXPECT_EQ(libusb_kernel_driver_active(h, 2), 0);
  EXPECT_EQ(libusb_detach_kernel_driver(h, 2), LIBUSB_ERROR_NOT_FOUND);
  EXPECT_EQ(libusb_claim_interface(h, 2), 0);
  EXPECT_EQ(libusb_attach_kernel_driver(h, 2), LIBUSB_ERROR_BUSY);  // claimed
  EXPECT_EQ(libusb_release_interface(h, 2), 0);
  EXPECT_EQ(libusb_attach_kernel_driver(h, 2), 0);
  // With auto-detach, libusb detaches it for the claim and gives it back on release.
  EXPECT_EQ(libusb_set_auto_detach_kernel_driver(h, 1), 0);
  EXPECT_EQ(libusb_claim_interface(h, 2), 0);
  EXPECT_EQ(libusb_release_interface(h, 2), 0);
  EXPECT_EQ(libusb_kernel_driver_active(h, 2), 1);
  libusb_close(h);
  libusb_free_device_list(list, 1);
  libusb_exit(ctx);
}

// The MPSSE only on channels A and B; the modes this chip lacks are refused.
TEST_F(Emulated, ModesTheChipHasOnTheChannelsThatHaveThem) {
  for (ftdi_interface channel : {INTERFACE_A, INTERFACE_B, INTERFACE_C, INTERFACE_D}) {
    Ftdi c = open_channel(channel);
    ASSERT_TRUE(c);
    const bool mpsse = channel == INTERFACE_A || channel == INTERFACE_B;
    EXPECT_EQ(ftdi_set_bitmode(c.get(), 0, BITMODE_MPSSE), mpsse ? 0 : -1) << channel;
    for (unsigned char mode : {BITMODE_MCU, BITMODE_OPTO, BITMODE_CBUS, BITMODE_SYNCFF})
      EXPECT_EQ(ftdi_set_bitmode(c.get(), 0, mode), -1) << int{mode};
    EXPECT_EQ(ftdi_set_bitmode(c.get(), 0xFF, BITMODE_SYNCBB), 0);
  }
}

// ---- Lifetime rules: a use after the end aborts with a message ------------------------------

TEST(Lifetime, DeviceOfAContextFreedWithLibusbExitAborts) {
  EXPECT_DEATH(
      {
        ftdi_context* first = ftdi_new();
        ftdi_device_list* list = nullptr;
        if (ftdi_usb_find_all(first, &list, kVendor, kProduct) < 1) std::exit(0);
        libusb_device* dev = libusb_ref_device(list->dev);  // kept past the context
        ftdi_list_free(&list);
        ftdi_free(first);  // libusb_exit
        ftdi_context* second = ftdi_new();
        ftdi_usb_open_dev(second, dev);
      },
      "libusb_open: the device belongs to a libusb context that libusb_exit has freed");
}

TEST(Lifetime, DeviceUsedAfterItsLastReferenceAborts) {
  EXPECT_DEATH(
      {
        libusb_context* ctx = nullptr;
        libusb_init(&ctx);
        libusb_device** list = nullptr;
        if (libusb_get_device_list(ctx, &list) < 1) std::exit(0);
        libusb_device* dev = list[0];
        libusb_free_device_list(list, 1);
        libusb_device_descriptor desc;
        libusb_get_device_descriptor(dev, &desc);
      },
      "libusb_get_device_descriptor: the device was used after its last reference");
}

TEST(Lifetime, HandleOfAContextFreedWithLibusbExitAborts) {
  EXPECT_DEATH(
      {
        Ftdi c = open_channel(INTERFACE_A);
        if (!c) std::exit(0);
        libusb_exit(c->usb_ctx);
        const uint8_t byte = 0;
        ftdi_write_data(c.get(), &byte, 1);
      },
      "libusb_bulk_transfer: the device handle belongs to a libusb context that libusb_exit");
}

TEST(Lifetime, HandleUsedAfterCloseAborts) {
  EXPECT_DEATH(
      {
        libusb_context* ctx = nullptr;
        libusb_init(&ctx);
        libusb_device** list = nullptr;
        libusb_device_handle* h = nullptr;
        if (libusb_get_device_list(ctx, &list) < 1 || libusb_open(list[0], &h) != 0) std::exit(0);
        libusb_close(h);
        libusb_claim_interface(h, 0);
      },
      "libusb_claim_interface: the device handle was used after libusb_close");
}

TEST(Lifetime, ContextFreedTwiceAborts) {
  EXPECT_DEATH(
      {
        libusb_context* ctx = nullptr;
        libusb_init(&ctx);
        libusb_exit(ctx);
        libusb_exit(ctx);
      },
      "libusb_exit: the context was used after libusb_exit freed it");
}

// ---- Faults -----------------------------------------------------------------------------------

bool fault_set(const char* variable) {
  const char* v = std::getenv(variable);
  return v != nullptr && *v != '\0';
}

// run-emulated --unplug 1:5: board 1 leaves after five bulk transfers.
TEST(Unplug, TheBoardLeavesAndEveryCallOnItFails) {
  if (!fault_set("VRX5200_EMULATED_UNPLUG")) GTEST_SKIP() << "run with run-emulated --unplug 1:5";
  // Transfer 1: a write on channel C in synchronous bit-bang that nobody reads stays in flight.
  Ftdi c = open_channel(INTERFACE_C);
  ASSERT_TRUE(c);
  sync_bitbang(c.get());
  std::vector<uint8_t> bytes = pattern(30000);
  libusb_transfer* stuck = libusb_alloc_transfer(0);
  int stuck_status = -1;
  libusb_fill_bulk_transfer(
      stuck, c->usb_dev, static_cast<unsigned char>(c->in_ep), bytes.data(), 30000,
      [](libusb_transfer* t) { *static_cast<int*>(t->user_data) = t->status; }, &stuck_status, 0);
  ASSERT_EQ(libusb_submit_transfer(stuck), 0);
  // Transfers 2 to 5 on channel D; the sixth finds the board gone.
  Ftdi d = open_channel(INTERFACE_D);
  ASSERT_TRUE(d);
  ASSERT_EQ(ftdi_set_bitmode(d.get(), 0xFF, BITMODE_BITBANG), 0);
  uint8_t byte = 0x55;
  int moved = 0;
  const unsigned char out = static_cast<unsigned char>(d->in_ep);
  for (int i = 0; i < 4; ++i)
    ASSERT_EQ(libusb_bulk_transfer(d->usb_dev, out, &byte, 1, &moved, 100), 0);
  // Until the hub notices, calls fail with I/O errors and the transfer in flight ends with one;
  // the kernel still answers for the configuration it keeps, and lists the board.
  EXPECT_EQ(libusb_bulk_transfer(d->usb_dev, out, &byte, 1, &moved, 100), LIBUSB_ERROR_IO);
  timeval zero = {0, 0};
  ASSERT_EQ(libusb_handle_events_timeout(c->usb_ctx, &zero), 0);
  EXPECT_EQ(stuck_status, LIBUSB_TRANSFER_ERROR);
  libusb_free_transfer(stuck);
  unsigned char pins = 0;
  EXPECT_LT(ftdi_read_pins(d.get(), &pins), 0);
  int configuration = 0;
  EXPECT_EQ(libusb_get_configuration(d->usb_dev, &configuration), 0);
  {
    Ftdi other(ftdi_new());
    ftdi_device_list* list = nullptr;
    EXPECT_EQ(ftdi_usb_find_all(other.get(), &list, kVendor, kProduct), 1);
    ftdi_list_free(&list);
  }
  // Then the board is gone: everything on its handles fails with LIBUSB_ERROR_NO_DEVICE.
  usleep(30000);
  EXPECT_EQ(libusb_bulk_transfer(d->usb_dev, out, &byte, 1, &moved, 100), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(libusb_get_configuration(d->usb_dev, &configuration), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_LT(ftdi_write_data(d.get(), &byte, 1), 0);
  EXPECT_LT(ftdi_set_bitmode(d.get(), 0xFF, BITMODE_SYNCBB), 0);
  EXPECT_LT(ftdi_read_pins(d.get(), &pins), 0);
  EXPECT_LT(ftdi_read_data(c.get(), &byte, 1), 0);
  EXPECT_EQ(libusb_claim_interface(c->usb_dev, 1), LIBUSB_ERROR_NO_DEVICE);
  // A new list does not show it.
  Ftdi other(ftdi_new());
  ftdi_device_list* list = nullptr;
  EXPECT_EQ(ftdi_usb_find_all(other.get(), &list, kVendor, kProduct), 0);
  ftdi_list_free(&list);
}

// run-emulated --deny-access: the device is listed, opening it is refused.
TEST(DenyAccess, OpeningIsRefused) {
  if (!fault_set("VRX5200_EMULATED_DENY_ACCESS")) GTEST_SKIP() << "run with --deny-access";
  Ftdi c(ftdi_new());
  ftdi_device_list* list = nullptr;
  ASSERT_EQ(ftdi_usb_find_all(c.get(), &list, kVendor, kProduct), 1);
  char serial[64] = {};
  EXPECT_EQ(ftdi_usb_get_strings(c.get(), list->dev, nullptr, 0, nullptr, 0, serial, 64), -4);
  libusb_device_handle* h = nullptr;
  EXPECT_EQ(libusb_open(list->dev, &h), LIBUSB_ERROR_ACCESS);
  EXPECT_EQ(ftdi_usb_open_dev(c.get(), list->dev), -4);
  ftdi_list_free(&list);
}

// run-emulated --busy: another program holds every interface. The device opens and its strings
// read, but claiming an interface fails (libftdi: -5), and no kernel driver is there to detach.
TEST(Busy, ClaimingFindsTheInterfaceBusy) {
  if (!fault_set("VRX5200_EMULATED_BUSY")) GTEST_SKIP() << "run with --busy";
  Ftdi c(ftdi_new());
  ftdi_device_list* list = nullptr;
  ASSERT_EQ(ftdi_usb_find_all(c.get(), &list, kVendor, kProduct), 1);
  char serial[64] = {};
  EXPECT_EQ(ftdi_usb_get_strings(c.get(), list->dev, nullptr, 0, nullptr, 0, serial, 64), 0);
  libusb_device_handle* h = nullptr;
  ASSERT_EQ(libusb_open(list->dev, &h), 0);
  for (int iface = 0; iface < 4; ++iface) {
    EXPECT_EQ(libusb_kernel_driver_active(h, iface), 0);
    EXPECT_EQ(libusb_claim_interface(h, iface), LIBUSB_ERROR_BUSY);
  }
  libusb_close(h);
  EXPECT_EQ(ftdi_usb_open_dev(c.get(), list->dev), -5);
  ftdi_list_free(&list);
}

}  // namespace

namespace {

// ---- Rates, checked from outside through libftdi alone -------------------------------------

// An MPSSE channel at its fastest clock, 30 MHz (60 MHz over 2, the divide-by-5 off).
Ftdi mpsse_at_30mhz(ftdi_interface channel, unsigned char latency_ms) {
  Ftdi c = open_channel(channel);
  if (!c) return nullptr;
  EXPECT_EQ(ftdi_set_bitmode(c.get(), 0x00, BITMODE_RESET), 0);
  EXPECT_EQ(ftdi_set_bitmode(c.get(), 0xFB, BITMODE_MPSSE), 0);
  EXPECT_EQ(ftdi_set_latency_timer(c.get(), latency_ms), 0);
  EXPECT_EQ(ftdi_tcioflush(c.get()), 0);
  const uint8_t setup[] = {0x80, 0xFF, 0xFB, 0x8A, 0x86, 0x00, 0x00};
  EXPECT_EQ(ftdi_write_data(c.get(), setup, sizeof setup), static_cast<int>(sizeof setup));
  return c;
}

std::vector<uint8_t> read_command(size_t n) {
  return {0x28, static_cast<uint8_t>((n - 1) & 0xFF), static_cast<uint8_t>((n - 1) >> 8)};
}

// A read with nothing behind it goes on as the host empties the 2 KiB FIFO: every byte comes,
// the last short packet on the latency timer, and nothing after.
TEST(Rates, ALoneMpsseReadOfAnyLengthDeliversEveryByte) {
  Ftdi c = mpsse_at_30mhz(INTERFACE_A, 2);
  ASSERT_TRUE(c);
  for (size_t n : {1, 2, 509, 510, 511, 2047, 2048, 2049, 4096, 10000, 65536}) {
    SCOPED_TRACE(n);
    const std::vector<uint8_t> read = read_command(n);
    ASSERT_EQ(ftdi_write_data(c.get(), read.data(), 3), 3);
    EXPECT_EQ(read_exactly(c.get(), n).size(), n);
    usleep(5000);
    uint8_t extra[16];
    EXPECT_EQ(ftdi_read_data(c.get(), extra, sizeof extra), 0);
  }
}

// 65,536 bytes at 30 MHz are 17.476 ms of clock: the read takes at least that, and little more
// (the best of three, so that a busy machine does not count).
TEST(Rates, A64KiBReadAt30MHzTakesTheTimeItsBitsNeed) {
  Ftdi c = mpsse_at_30mhz(INTERFACE_B, 16);
  ASSERT_TRUE(c);
  const double bits_ms = 65536 * 8 / 30e6 * 1e3;
  std::vector<uint8_t> command = read_command(65536);
  command.push_back(0x87);  // send immediate: the tail does not wait for the latency timer
  double best_ms = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(ftdi_write_data(c.get(), command.data(), 4), 4);
    ASSERT_EQ(read_exactly(c.get(), 65536).size(), 65536u);
    const double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, bits_ms);
    best_ms = std::min(best_ms, ms);
  }
  EXPECT_LE(best_ms, bits_ms * 1.1 + 3.0);
  std::printf("64 KiB MPSSE read at 30 MHz: best of three %.2f ms (the bits need %.2f ms)\n",
              best_ms, bits_ms);
}

}  // namespace
