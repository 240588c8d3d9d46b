// The tests' ftd2xx.dll: the simulated bench's D2XX functions, exported as the vendor's driver
// exports them (plain names; stdcall on 32-bit Windows), so vrx5200.dll, the library as built
// for the vendor's driver, runs unchanged on simulated boards.
//
// The machine comes from the environment, as on the emulated USB bus of the Linux tests:
// VRX5200_EMULATED_BOARDS boards (default 1) with serial keys EMU00001, EMU00002, ... It is set
// up when the DLL loads, before the library's first D2XX call.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/bench.h"

namespace {

constexpr long kMostBoards = 99;

long emulated_boards() {
  const char* text = std::getenv("VRX5200_EMULATED_BOARDS");
  if (text == nullptr || *text == '\0') return 1;
  char* end = nullptr;
  const long n = std::strtol(text, &end, 10);
  if (*end != '\0' || n < 0 || n > kMostBoards) {
    std::fprintf(stderr, "ftd2xx (emulated): VRX5200_EMULATED_BOARDS=%s is not 0 to %ld; 1 board\n",
                 text, kMostBoards);
    return 1;
  }
  return n;
}

bool set_up_machine() {
  sim::Bench& bench = sim::Bench::get();
  bench.reset();
  const long boards = emulated_boards();
  for (long b = 1; b <= boards; ++b) {
    char key[16];
    std::snprintf(key, sizeof key, "EMU%05ld", b);
    bench.add_board(key);
  }
  bench.set_recording(false);  // the library's sessions would otherwise keep every byte moved
  return true;
}

[[maybe_unused]] const bool machine_set_up = set_up_machine();

}  // namespace
