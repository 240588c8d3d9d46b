// The configuration flow: the JTAG port switched to asynchronous bit-bang, the chain verified,
// the programming file streamed into every device marked for configuration behind its family's
// preamble, start-up and status check with up to three attempts, and port 3 given back.
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "jtag/jtag.h"
#include "jtag/tables.h"
#include "session/files.h"
#include "session/ports.h"
#include "session/state.h"

namespace vrx::jtag {
namespace {

constexpr int kAttempts = 3;
constexpr char kBoardPart[] = "EP4SGX70HF35";

// The pin bytes of one file byte: eight TCK cycles (low, high, low) with TDI carrying the bits,
// least significant first, TMS as the signal word has it.
struct BytePins {
  uint8_t pins[24];
};
BytePins g_byte_pins[256];
int32_t g_byte_pins_base = -1;

void build_byte_pins(int32_t base) {
  if (g_byte_pins_base == base) return;
  for (int value = 0; value < 256; ++value) {
    for (int bit = 0; bit < 8; ++bit) {
      const int32_t word = base | (((value >> bit) & 1) ? kTdi : 0);
      g_byte_pins[value].pins[3 * bit] = pin_byte(word);
      g_byte_pins[value].pins[3 * bit + 1] = pin_byte(word | kTck);
      g_byte_pins[value].pins[3 * bit + 2] = pin_byte(word);
    }
  }
  g_byte_pins_base = base;
}

uint8_t g_file_block[1 << 16];

void discard_queued_pins() {
  g_port.fill = 0;
  g_port.pending = 0;
}

}  // namespace

bool stream_bits(std::FILE* file, long size, uint32_t idcode) {
  const int32_t base = g_port.signal & ~(kTck | kTdi);
  build_byte_pins(base);
  long index = 0;
  while (index < size) {
    const size_t want = static_cast<size_t>(
        size - index < static_cast<long>(sizeof g_file_block) ? size - index : sizeof g_file_block);
    const size_t got = std::fread(g_file_block, 1, want, file);
    if (got != want) return false;  // a read error or an early end: no stale bits go out
    size_t i = 0;
    if (index < 44 && skips_header(idcode)) {
      const size_t skip = static_cast<size_t>(44 - index);
      i = skip < got ? skip : got;
    }
    if (i < got) {
      for (size_t k = i; k < got; ++k) queue_pins(g_byte_pins[g_file_block[k]].pins, 24);
      // The signal word follows the last bit sent, TCK low.
      g_port.signal = base | (((g_file_block[got - 1] >> 7) & 1) ? kTdi : 0);
    }
    index += static_cast<long>(got);
  }
  return true;
}

namespace {

// Streams the file's bits into the device in SHIFT_DR. Returns false when the file could not be
// read completely (nothing further is sent).
bool stream_file(std::FILE* file, uint32_t idcode) {
  if (std::fseek(file, 0, SEEK_END) != 0) {
    std::fprintf(stderr, "Error: End of file could not be located!");
    return true;
  }
  const long size = std::ftell(file);
  std::printf("Info: Programming file size: %ld\n", size);
  g_port.pending = 1;
  std::fseek(file, 0, SEEK_SET);
  std::printf("Info: Start configuration process.\nPlease wait...");
  std::fflush(stdout);
  if (!stream_bits(file, size, idcode)) return false;
  std::printf("done\n");
  return true;
}

// Programs device n from the open file. False when the file could not be read completely.
bool program_device(int n, std::FILE* file) {
  instruction_load(n, kProgram);
  g_port.signal |= kTdi;
  pin_write(g_port.signal, false);
  enter_shift_dr();
  const int32_t preamble = kFamilies[g_family].preamble;
  const int32_t word = g_port.signal & ~kTck;
  const uint8_t cycle[3] = {pin_byte(word), pin_byte(word | kTck), pin_byte(word)};
  for (int32_t i = 0; i < preamble; ++i) queue_pins(cycle, 3);
  const bool streamed = stream_file(file, g_chain.entries[n].idcode);
  if (!streamed) return false;
  leave_shift_dr();  // its first clock is an immediate write: the stream goes out before it
  return_to_idle();
  return true;
}

void start_up(int k) {
  instruction_load(k, kStartup);
  return_to_idle();
  for (int i = 0; i < 200; ++i) {
    const int32_t low = g_port.signal & ~kTck;
    pin_write(low, false);
    pin_write(low | kTck, false);
  }
  tap_reset();
}

bool status_check(int n) {
  std::printf("Info: Checking Status\n");
  instruction_load(n, kCheckStatus);
  enter_shift_dr();
  const ChainEntry& e = g_chain.entries[n];
  // Three boundary-scan cells per pin position from the status pin up, one bypass bit per
  // device between this one and TDO, and one more.
  const int cycles = 3 * (e.boundary_length - e.status_position) + (g_chain.count - n) + 1;
  g_port.signal &= ~(kTdi | kTms);
  for (int i = 0; i < cycles; ++i) {
    pin_write(g_port.signal & ~kTck, false);
    pin_write(g_port.signal | kTck, false);
    pin_write(g_port.signal & ~kTck, false);
  }
  g_port.signal &= ~kTck;
  const uint32_t status = bit_shift(1, 0, false);
  leave_shift_dr();
  return_to_idle();
  return status == 1;
}

// Closes the JTAG port, opens it again and gives it the set-up that opening the ports gives it.
void hand_back_port(BoardRecord& board) {
  if (FT_SetBitMode(g_port.loader, 0xFB, FT_BITMODE_RESET) != FT_OK) {
    std::printf("Error: Bit Bang Mode Reset!");
  }
  FT_SetBitMode(g_port.loader, 0, FT_BITMODE_RESET);
  if (FT_Close(g_port.loader) != FT_OK) {
    // The port is still open under its handle, so opening it again would fail and the handle
    // would be lost for good: no close could reach the port, and no open of the ports would
    // succeed again. The port keeps its handle, in the record and in the JTAG port copy, with
    // the set-up opening the ports gives it; closing the ports closes it.
    board.port[kJtagPort] = g_port.loader;
  } else {
    // By the location the port had when the ports opened: a discovery since may have
    // renumbered the device list.
    board.port[kJtagPort] = closed_handle();
    if (FT_OpenEx(reinterpret_cast<PVOID>(static_cast<uintptr_t>(g_state.jtag_location)),
                  FT_OPEN_BY_LOCATION, &board.port[kJtagPort]) != FT_OK) {
      board.port[kJtagPort] = closed_handle();
    } else {
      clear_port_trouble(board.port[kJtagPort], 0xFF);
    }
  }
  bitbang_setup(board.port[kJtagPort], 0xFF);
  for (uint8_t pulse : {uint8_t{0x7F}, uint8_t{0xFF}}) {
    DWORD written = 0;
    FT_Write(board.port[kJtagPort], &pulse, 1, &written);
  }
  g_state.jtag_handle = board.port[kJtagPort];
}

int32_t load(const char* path) {
  FT_SetBitMode(g_state.jtag_handle, 0xFB, FT_BITMODE_ASYNC_BITBANG);
  g_chain.count = 0;
  g_port.loader = g_state.jtag_handle;
  g_port.write_failed = false;
  add_entry('P', kBoardPart);
  device_lookup();
  for (int n = 1; n <= g_chain.count; ++n) {
    if (g_chain.entries[n].ir_length == 0) return VRX5200_RESULT_UNKNOWN_PART;
    std::printf("dev count %d", g_chain.count);
  }
  if (verify_chain() != 0) return VRX5200_RESULT_CHAIN_FAILED;

  for (int n = 1; n <= g_chain.count; ++n) {
    if (g_chain.entries[n].action != 'P') continue;
    for (int attempt = 0;; ++attempt) {
      if (attempt == 0) {
        std::printf("Info: Configuration setup device #%d\n", n);
      } else {
        std::printf("Info: Configuration setup device #%d (Retry# %d)\n", n, attempt);
      }
      // A file that opens but cannot be read (a directory) is one that cannot be opened.
      std::FILE* file = open_readable(path, "rb");
      if (file == nullptr) {
        std::fprintf(stderr, "Error: Could not open programming file #%d: \"%s\"\n", n, path);
        return VRX5200_RESULT_PROGRAMMING_FILE;
      }
      std::printf("Info: Programming file #%d: \"%s\" opened...\n", n, path);
      // Pin bytes were lost: the device's TAP and the library's record of it parted there. The
      // attempt begins from a TAP reset, which brings both to RESET from any state.
      const bool lost = g_port.write_failed;
      g_port.write_failed = false;
      if (lost) {
        discard_queued_pins();
        tap_reset();
      }
      const bool streamed = program_device(n, file);
      std::fclose(file);
      if (!streamed) {
        // The preamble queued for this attempt must not go out in front of the next load.
        discard_queued_pins();
        std::fprintf(stderr, "Error: Programming file #%d could not be read completely!\n", n);
        return VRX5200_RESULT_FILE_IO;
      }
      if (n == g_chain.count) {
        for (int k = 1; k <= g_chain.count; ++k) start_up(k);
      }
      // The status bit means nothing when pin bytes of this attempt were lost.
      if (status_check(n) && !g_port.write_failed) {
        std::printf("Info: Configuration of device #%d successful...\n", n);
        break;
      }
      std::printf("Warning: Configuration of device #%d NOT successful!\n", n);
      if (attempt + 1 == kAttempts) return VRX5200_RESULT_CONFIG_FAILED;
    }
  }
  hand_back_port(*selected_board());
  return VRX5200_RESULT_FPGA_CONFIGURED;
}

}  // namespace

bool skips_header(uint32_t idcode) {
  return (idcode > 0x02080000 && idcode < 0x02086000) || idcode == 0x020B40DD;
}

}  // namespace vrx::jtag

extern "C" VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Load_Firmware(const char* Path) {
  // Without open ports the JTAG port handle is closed or was never opened: nothing to drive.
  if (vrx::selected_board() == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (Path == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  const int32_t result = vrx::jtag::load(Path);
  std::fflush(stdout);
  return result;
}
