// ADC session configuration: stores the parameters and programs the clock set-up register with
// a band value and runs of step codes chosen by the derived rate.
#include <cmath>

#include "capture/capture.h"
#include "link/cmdlink.h"
#include "link/registers.h"

namespace vrx {

double adc_rate(const ADC_Session_Params& p) {
  double r = static_cast<double>(p.Rate_Factor) * p.Rate * 0.5;
  if (p.Half_Rate_Mode == 1 && (p.Register_1_Value & 1)) r *= 0.5;
  return r;
}

AdcClockPlan plan_adc_clock(const ADC_Session_Params& p) {
  const double r = adc_rate(p);
  int band = 3;  // below 80 MHz, above 625 MHz, or not a number
  if (r >= 300e6 && r <= 625e6) {
    band = 0;
  } else if (r >= 150e6 && r < 300e6) {
    band = 1;
  } else if (r >= 80e6 && r < 150e6) {
    band = 2;
  }
  const bool up = p.Step_Select != 0;
  AdcClockPlan plan{band, reg::kBandValue[band], up ? reg::kStepUp : reg::kStepDown, 0, 0};
  switch (band) {
    case 0:
      plan.step_code = reg::kStepDown;  // band 0 always steps down, and only in full-rate mode
      plan.step_frames = (!up && p.Half_Rate_Mode != 1) ? 4 : 0;
      break;
    case 1:
      plan.step_frames = 4;
      plan.long_frames = 20;
      break;
    default:
      plan.step_frames = up ? 12 : 4;
      plan.long_frames = 60;
      break;
  }
  return plan;
}

}  // namespace vrx

using namespace vrx;

extern "C" VRX5200_API int32_t VRX5200_CALL
VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(const ADC_Session_Params* params) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (params == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  // Only plain (0) and pattern-match (1) captures exist; another value would make every
  // read-back drop blocks until it times out.
  if (params->Pattern_Match > 1) return VRX5200_RESULT_INVALID_ARGUMENT;
  board->adc = *params;
  const AdcClockPlan plan = plan_adc_clock(*params);
  // Every exchange is made; the first that fails decides the result.
  int32_t result = send_register_run(reg::kClock, plan.band_value, 1);
  auto keep_first = [&result](int32_t status) { keep_first_failure(result, status); };
  if (plan.step_frames > 0)
    keep_first(send_register_run(reg::kClock, plan.step_code, plan.step_frames));
  if (plan.long_frames > 0)
    keep_first(send_register_run(reg::kClock, reg::kLongRun, plan.long_frames));
  if (result == 0) {
    // A playback's block plan is not a capture's: a read-back needs a capture start first.
    if (board->session_kind == kDacSession) board->started = 0;
    board->session_kind = kAdcSession;
  }
  return result;
}
