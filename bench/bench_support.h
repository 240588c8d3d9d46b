// Shared set-up of the benchmarks: a board on the bench, opened, with recording off so that only
// the library's host-side work and the bench's model are measured.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "sim/bench.h"
#include "vrx5200_brdctrl.h"

inline void bench_open_board() {
  VRX5200BrdCtrl_Close_Session();
  sim::Bench& bench = sim::Bench::get();
  bench.reset();
  bench.add_board("BENCH001");
  bench.set_recording(false);
  int32_t count = 0, length = 0;
  char keys[64];
  if (VRX5200BrdCtrl_Get_VRX5200_EVM(&count, keys, &length) != 0 ||
      VRX5200BrdCtrl_Open_VRX5200_Ports(0, count) != 0) {
    std::fprintf(stderr, "no simulated board\n");
    std::exit(1);
  }
}
