// What a user should expect of a real board: the wall time of a register read, a 1 Mi-sample
// capture read-back, a 1 Mi-word pattern upload and a 10 MB FPGA load through the whole real
// stack (library, libftdi1 adapter, libftdi1, libusb's interface), run on the emulated bridge on
// its clock, where every channel moves its bytes at the chip's rates and the bus its packets at
// high speed's (usbemu/README.md). Each figure stands beside the bound it is up against, and the
// share of the time the stack's own CPU took (the emulator's CPU apart).
//
//   run-emulated --virtual-clock [--bitbang-multiple M] build/bench/usb_stack/vrx5200_board_times
//   [MB]
//
// On the virtual clock the bus skips its waits, so the time a board takes is the bus's clock less
// the emulator's own CPU (all of it spent on the library's thread, none of it a board's); on the
// wall clock the figure is the wall time, which the emulator's CPU and its thread's wake-ups
// lengthen.
//
// MB: the size of the FPGA programming file (default 10).
#include <dlfcn.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vrx5200_brdctrl.h"

namespace {

double process_cpu_s() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

template <typename T>
T probe(const char* name) {
  return reinterpret_cast<T>(dlsym(RTLD_DEFAULT, name));
}

double emulator_cpu_s() {
  static const auto counter = probe<unsigned long long (*)()>("libusb_emulator_cpu_ns");
  return counter != nullptr ? static_cast<double>(counter()) * 1e-9 : 0.0;
}

double bus_s() {
  static const auto clock = probe<unsigned long long (*)()>("libusb_emulator_now_ns");
  return clock != nullptr ? static_cast<double>(clock()) * 1e-9 : 0.0;
}

bool virtual_clock() {
  const char* v = std::getenv("VRX5200_EMULATED_CLOCK");
  return v != nullptr && std::string(v) == "virtual";
}

struct Cost {
  double wall_s = 0, stack_cpu_s = 0, emulator_cpu_s = 0;
};

template <typename F>
Cost measure(F&& work) {
  const double cpu0 = process_cpu_s(), emu0 = emulator_cpu_s(), bus0 = bus_s();
  const auto wall0 = std::chrono::steady_clock::now();
  work();
  Cost c;
  c.emulator_cpu_s = emulator_cpu_s() - emu0;
  c.wall_s = virtual_clock()
                 ? bus_s() - bus0 - c.emulator_cpu_s
                 : std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
  c.stack_cpu_s = process_cpu_s() - cpu0 - c.emulator_cpu_s;
  return c;
}

std::string time_text(double s) {
  char text[32];
  if (s < 1e-3) {
    std::snprintf(text, sizeof text, "%.0f us", s * 1e6);
  } else if (s < 1) {
    std::snprintf(text, sizeof text, "%.1f ms", s * 1e3);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", s);
  }
  return text;
}

void report(const char* what, const Cost& c, double n, double bound_s, const char* bound) {
  const double wall = c.wall_s / n;
  std::printf("%-28s %10s   %10s  %-44s %5.1f%%", what, time_text(wall).c_str(),
              time_text(bound_s).c_str(), bound, 100.0 * c.stack_cpu_s / c.wall_s);
  // The emulator runs on the same cores: when it takes a large share, the wall time may be its
  // own, not the board's.
  if (!virtual_clock() && c.emulator_cpu_s > 0.5 * c.wall_s) {
    std::printf("  (emulator %.0f%% of the wall time: an upper bound)",
                100.0 * c.emulator_cpu_s / c.wall_s);
  }
  std::printf("\n");
  std::fflush(stdout);
}

bool ok(const char* what, int32_t code, int32_t success = 0) {
  if (code != success)
    std::fprintf(stderr, "%s failed: %d (%s)\n", what, code, VRX5200_Result_Text(code));
  return code == success;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("VRX5200_EMULATOR_STATS", "1", 0);  // the emulator counts its own CPU when asked
  const long megabytes = argc > 1 ? std::atol(argv[1]) : 10;
  int32_t boards = 0, length = 0;
  char keys[901] = {};
  if (!ok("discovery", VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length)) ||
      !ok("opening", VRX5200BrdCtrl_Open_VRX5200_Ports(0, boards))) {
    return 1;
  }
  using Hz = double (*)(int, int);
  const Hz bit_clock = probe<Hz>("libusb_emulator_bit_clock_hz");
  const double bitbang_hz = bit_clock != nullptr ? bit_clock(1, 4) : 8e6;
  // High-speed bulk: 13 packets of 512 bytes a microframe of 125 us.
  const double usb_bytes_per_s = 13 * 512 / 125e-6;
  const double mpsse_bytes_per_s = 30e6 / 8;
  std::printf("bit-bang clock %.0f MHz (the baud rate's multiple: %.0f), %s\n\n", bitbang_hz / 1e6,
              bitbang_hz / 8e6,
              virtual_clock() ? "virtual clock: a board's time, the emulator's CPU taken out"
                              : "wall clock");
  std::printf("%-28s %10s   %10s  %-44s %6s\n", "operation", "time", "bound", "what bounds it",
              "stack CPU");

  // Register read: three exchanges on the command link (select, the two-byte read frame,
  // deselect), each of whose short replies the chip sends when its latency timer (16 ms) runs out.
  constexpr int kReads = 20;
  int32_t code = 0, value = 0;
  const Cost read = measure([&] {
    for (int i = 0; i < kReads && code == 0; ++i) code = VRX5200BrdCtrl_Read_Register(9, &value);
  });
  if (!ok("register read", code)) return 1;
  report("register read", read, kReads, 3 * 16e-3, "3 latency-timer periods (16 ms) at most");

  constexpr int32_t kSamples = 1 << 20;
  std::vector<uint16_t> samples(kSamples);
  ADC_Session_Params adc{};
  adc.Rate_Factor = 2;
  adc.Rate = 250e6;
  if (!ok("ADC session", VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc))) return 1;
  const Cost capture =
      measure([&] { code = VRX5200BrdCtrl_Read_from_ADC(kSamples, samples.data()); });
  if (!ok("capture", code)) return 1;
  report("1 Mi-sample capture", capture, 1, 2.0 * kSamples / mpsse_bytes_per_s,
         "2 MiB at 30 MHz, one data port after the other");

  for (int32_t i = 0; i < kSamples; ++i)
    samples[static_cast<size_t>(i)] = static_cast<uint16_t>(i * 40503u);
  DAC_Session_Params dac{};
  dac.Rate = 100e6;
  dac.Rate_Factor_1 = 8;
  dac.Rate_Factor_2 = 1;
  dac.Rate_Divisor = 1;
  if (!ok("DAC session", VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&dac))) return 1;
  const Cost upload =
      measure([&] { code = VRX5200BrdCtrl_Write_to_DAC(kSamples, samples.data()); });
  if (!ok("upload", code)) return 1;
  report("1 Mi-word pattern upload", upload, 1, 2.0 * kSamples / mpsse_bytes_per_s,
         "2 MiB at 30 MHz, one data port after the other");

  // FPGA load: 24 bit-bang bytes a file byte on the JTAG port, in async bit-bang at the bit clock,
  // or at what the bus moves if that is less.
  const std::string path = "/tmp/vrx5200_board_times.rbf";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return 1;
    uint32_t x = 2463534242u;
    std::vector<uint8_t> block(1000000);
    for (long m = 0; m < megabytes; ++m) {
      for (uint8_t& b : block) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b = static_cast<uint8_t>(x);
      }
      std::fwrite(block.data(), 1, block.size(), f);
    }
    std::fclose(f);
  }
  const double file_bytes = static_cast<double>(megabytes) * 1e6;
  const double pin_bytes = 24 * file_bytes;
  const bool usb_bound = usb_bytes_per_s < bitbang_hz;
  std::fflush(stdout);
  const Cost load = measure([&] { code = VRX5200BrdCtrl_Load_Firmware(path.c_str()); });
  std::remove(path.c_str());
  if (!ok("FPGA load", code, VRX5200_RESULT_FPGA_CONFIGURED)) return 1;
  char what[64];
  std::snprintf(what, sizeof what, "%.0f MB of pin bytes at %s", pin_bytes / 1e6,
                usb_bound ? "13 packets a microframe" : "the bit clock");
  char label[64];
  std::snprintf(label, sizeof label, "%ld MB FPGA load", megabytes);
  report(label, load, 1, pin_bytes / (usb_bound ? usb_bytes_per_s : bitbang_hz), what);
  VRX5200BrdCtrl_Close_Session();
  return 0;
}
