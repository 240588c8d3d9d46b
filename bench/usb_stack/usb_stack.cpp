// Host CPU of the whole real stack (library + libftdi1 adapter + libftdi1 + libusb's interface)
// per captured sample and per uploaded word, against the wire time of the data ports. Run it on
// the emulated bus: run-emulated build/bench/usb_stack/vrx5200_usb_stack [MEBISAMPLES]
// The emulator's own CPU (usbemu's counter) is reported apart and left out of the stack's.
#include <dlfcn.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vrx5200_brdctrl.h"

namespace {

// The data ports' MPSSE clock is 30 MHz, one bit per clock: 3.75 MB/s on each port. A sample
// or a pattern word is one byte on each of the two ports, moved side by side.
constexpr double kWireNsPerSample = 1e9 / 3.75e6;

double process_cpu_ns() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e9 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e3;
}

// CPU spent inside the emulated bus, when the bus is the emulator (0 on a real one).
double emulator_cpu_ns() {
  using Counter = unsigned long long (*)();
  static const auto counter =
      reinterpret_cast<Counter>(dlsym(RTLD_DEFAULT, "libusb_emulator_cpu_ns"));
  return counter ? static_cast<double>(counter()) : 0.0;
}

struct Cost {
  double stack_ns = 0, emulator_ns = 0, wall_ns = 0;
};

template <typename F>
Cost measure(F&& work) {
  const double cpu0 = process_cpu_ns(), emu0 = emulator_cpu_ns();
  const auto wall0 = std::chrono::steady_clock::now();
  work();
  Cost c;
  c.wall_ns =
      std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - wall0).count();
  c.emulator_ns = emulator_cpu_ns() - emu0;
  c.stack_ns = process_cpu_ns() - cpu0 - c.emulator_ns;
  return c;
}

void report(const char* what, const Cost& c, double n) {
  std::printf(
      "%-22s %8.1f ns host CPU per item (%5.2f%% of the %.0f ns wire time), emulator "
      "%6.1f ns, wall %6.1f ns\n",
      what, c.stack_ns / n, 100.0 * c.stack_ns / n / kWireNsPerSample, kWireNsPerSample,
      c.emulator_ns / n, c.wall_ns / n);
}

bool ok(const char* what, int32_t code) {
  if (code != 0)
    std::fprintf(stderr, "%s failed: %d (%s)\n", what, code, VRX5200_Result_Text(code));
  return code == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // The emulator counts its own CPU only when asked, before its first call.
  setenv("VRX5200_EMULATOR_STATS", "1", 0);
  const int32_t n = (argc > 1 ? std::atoi(argv[1]) : 16) * (1 << 20);
  int32_t boards = 0, length = 0;
  char keys[901] = {};
  if (!ok("discovery", VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length)) ||
      !ok("opening", VRX5200BrdCtrl_Open_VRX5200_Ports(0, boards))) {
    return 1;
  }
  std::vector<uint16_t> samples(static_cast<size_t>(n));
  ADC_Session_Params adc{};
  adc.Rate_Factor = 2;
  adc.Rate = 250e6;
  if (!ok("ADC session", VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc))) return 1;
  int32_t code = 0;
  const Cost capture = measure([&] { code = VRX5200BrdCtrl_Read_from_ADC(n, samples.data()); });
  if (!ok("capture", code)) return 1;

  for (int32_t i = 0; i < n; ++i)
    samples[static_cast<size_t>(i)] = static_cast<uint16_t>(i * 40503u);
  DAC_Session_Params dac{};
  dac.Rate = 100e6;
  dac.Rate_Factor_1 = 8;
  dac.Rate_Factor_2 = 1;
  dac.Rate_Divisor = 1;
  if (!ok("DAC session", VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&dac))) return 1;
  const Cost upload = measure(
      [&] { code = VRX5200BrdCtrl_Write_to_DAC(static_cast<uint32_t>(n), samples.data()); });
  if (!ok("upload", code)) return 1;
  VRX5200BrdCtrl_Close_Session();

  std::printf("%d Mi samples captured and %d Mi words uploaded through the real USB stack\n",
              n >> 20, n >> 20);
  report("capture, per sample:", capture, n);
  report("upload, per word:", upload, n);
  std::fflush(stdout);
  return 0;
}
