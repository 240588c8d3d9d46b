// DAC session configuration: programs the clock set-up register in two passes of step runs
// chosen by the derived rate, and resets the upload state.
#include <cmath>
#include <initializer_list>

#include "link/cmdlink.h"
#include "link/registers.h"
#include "pattern/pattern.h"

namespace vrx {
namespace {

// The band table, first matching row wins. Runs: channels A, B, C, D, E.
constexpr DacBand kBands[] = {
    {112.5e6, 200e6, true, 0x01, {96, 8, 60, 0, 60}},
    {92.5e6, 112.5e6, false, 0x01, {12, 8, 60, 12, 60}},
    {70e6, 92.5e6, false, 0x11, {0, 0, 48, 4, 48}},
    {57.5e6, 70e6, false, 0x11, {4, 0, 96, 4, 48}},
    {50e6, 57.5e6, false, 0x21, {16, 0, 0, 16, 208}},
    {37.5e6, 50e6, false, 0x21, {0, 0, 96, 16, 208}},
    {25e6, 37.5e6, false, 0x21, {16, 0, 208, 16, 208}},
    {10e6, 25e6, false, 0x21, {0, 0, 208, 16, 208}},
    {500e3, 10e6, false, 0x31, {36, 0, 208, 36, 468}},
};
// Below 500 kHz, above 200 MHz, or not a number: only the two band writes.
constexpr DacBand kOutOfRange = {0, 0, false, 0x01, {0, 0, 0, 0, 0}};
static_assert(sizeof kBands / sizeof kBands[0] == 9);
static_assert(kBands[8].runs[4] * 4 <= 4096, "the longest run fits one frame");

}  // namespace

double dac_rate(const DAC_Session_Params& p) {
  // The divisor is formed in 32-bit arithmetic first (wrapping, as the board's software does).
  const int32_t divisor = static_cast<int32_t>(8u * static_cast<uint32_t>(p.Rate_Divisor));
  return static_cast<double>(p.Rate_Factor_2) * p.Rate * static_cast<double>(p.Rate_Factor_1) /
         static_cast<double>(divisor);
}

const DacBand& dac_band(double k) {
  for (const DacBand& b : kBands) {
    if (k >= b.low && (k < b.high || (b.high_inclusive && k == b.high))) return b;
  }
  return kOutOfRange;
}

}  // namespace vrx

using namespace vrx;

extern "C" VRX5200_API int32_t VRX5200_CALL
VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(const DAC_Session_Params* params) {
  // A refused call leaves the upload in progress as it is.
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (params == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  g_upload_cursor = 0;
  g_section_start = 0;
  board->dac = *params;
  const DacBand& band = dac_band(dac_rate(*params));
  // Every exchange is made; the first that fails decides the result.
  int32_t result = VRX5200_RESULT_OK;
  auto send = [&result](uint8_t value, int32_t n) {
    keep_first_failure(result, send_register_run(reg::kClock, value, n));
  };
  send(band.band_value, 1);
  send(band.band_value | reg::kDacPass2Flag, 1);
  for (uint8_t pass_flag : {uint8_t{0}, reg::kDacPass2Flag}) {
    for (int ch = 0; ch < 5; ++ch) {
      if (band.runs[ch] > 0) send(kDacChannelCode[ch] | pass_flag, band.runs[ch]);
    }
  }
  board->session_kind = kDacSession;
  board->next_block = 1;
  board->started = 0;
  g_upload_cursor = 0;
  g_section_start = 0;
  return result;
}
