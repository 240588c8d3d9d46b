#include "tools/measure.h"

#include <optional>

#include "client/units.h"
#include "tools/failure.h"
#include "vrx5200_analysis.h"

namespace tool {

void check_core(const char* what, int32_t code, int refusal_exit) {
  if (code == VRX5200_ANALYSIS_OK) return;
  const int exit_code =
      code == VRX5200_ANALYSIS_OUT_OF_MEMORY ? kExitFailure
      : code == VRX5200_ANALYSIS_FILE_OPEN_FAILED || code == VRX5200_ANALYSIS_FILE_WRITE_FAILED
          ? kExitFile
          : refusal_exit;
  fail(std::string(what) + ": " + VRX5200Analysis_Result_Text(code), exit_code);
}

int32_t code_format_of(const std::string& name) {
  if (name == "twos") return VRX5200_TWOS_COMPLEMENT;
  if (name == "offset") return VRX5200_OFFSET_BINARY;
  fail("bad code format \"" + name + "\" (twos or offset)", kExitUsage);
}

double rate_of(const std::string& text) {
  if (text.empty()) return 0;
  const std::optional<double> hz = client::parse_rate_hz(text);
  if (!hz) fail("bad rate \"" + text + "\" (1 Hz to 100 GHz, with k, M or G)", kExitUsage);
  return *hz;
}

}  // namespace tool
