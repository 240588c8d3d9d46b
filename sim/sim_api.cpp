#include "sim/vrx5200sim.h"

#include <algorithm>

#include "sim/bench.h"
#include "sim/board.h"

namespace {

sim::Board* board_at(int32_t b) {
  sim::Bench& bench = sim::Bench::get();
  if (b < 0 || static_cast<size_t>(b) >= bench.board_count()) return nullptr;
  return &bench.board(b);
}

}  // namespace

extern "C" {

VRX5200_API int32_t VRXSim_Reset(void) {
  sim::Bench::get().reset_default();
  return 0;
}

VRX5200_API int32_t VRXSim_Remove_All(void) {
  sim::Bench::get().reset();
  sim::Bench::get().set_recording(false);
  return 0;
}

VRX5200_API int32_t VRXSim_Add_Board(const char* Key) {
  if (Key == nullptr) return -1;
  return sim::Bench::get().add_board(Key);
}

VRX5200_API int32_t VRXSim_Set_Plugged(int32_t Board, int32_t Plugged) {
  if (board_at(Board) == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (Plugged) {
    sim::Bench::get().replug(Board);
  } else {
    sim::Bench::get().unplug(Board);
  }
  return 0;
}

VRX5200_API uint32_t VRXSim_Clock_Ms(void) {
  return static_cast<uint32_t>(sim::Bench::get().now());
}

VRX5200_API int32_t VRXSim_Set_Signal(int32_t Board, uint32_t Cycles, double Amplitude,
                                      double Noise_Rms, uint32_t Seed) {
  sim::Board* board = board_at(Board);
  if (board == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  board->set_signal(Cycles, Amplitude, Noise_Rms, Seed);
  return 0;
}

VRX5200_API int32_t VRXSim_Set_Capture_Step(int32_t Board, uint32_t Step) {
  sim::Board* board = board_at(Board);
  if (board == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  board->capture_step = Step;
  return 0;
}

VRX5200_API int32_t VRXSim_Set_Loopback(int32_t Board, int32_t On, double Noise_Rms, double Gain,
                                        double Offset, const double* Harmonics_Dbc, int32_t Count,
                                        uint32_t Seed) {
  sim::Board* board = board_at(Board);
  if (board == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (On == 0) {
    board->loopback = false;
    return 0;
  }
  if (!board->converter.set(Noise_Rms, Gain, Offset, Harmonics_Dbc, Count, Seed)) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  board->loopback = true;
  return 0;
}

VRX5200_API int32_t VRXSim_Set_Loopback_Polynomial(int32_t Board, const double* Coefficients,
                                                   int32_t Count) {
  sim::Board* board = board_at(Board);
  if (board == nullptr || !board->converter.set_polynomial(Coefficients, Count)) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  return 0;
}

VRX5200_API int32_t VRXSim_Set_Loopback_Format(int32_t Board, int32_t Offset_Binary) {
  sim::Board* board = board_at(Board);
  if (board == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  board->converter.set_offset_binary(Offset_Binary != 0);
  return 0;
}

VRX5200_API int32_t VRXSim_Read_Playback(int32_t Board, uint32_t First, uint32_t Count,
                                         uint16_t* Words) {
  sim::Board* board = board_at(Board);
  if (board == nullptr || (Words == nullptr && Count != 0)) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  const std::vector<uint16_t> words = board->pattern(First, Count);
  std::copy(words.begin(), words.end(), Words);
  return 0;
}

VRX5200_API int32_t VRXSim_Playback_Starts(int32_t Board) {
  sim::Board* board = board_at(Board);
  return board ? board->playback_starts : -1;
}

}  // extern "C"
