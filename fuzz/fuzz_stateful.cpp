// Structured fuzzing of export sequences: the fuzzer's bytes choose the calls, their arguments
// and the faults armed before them (tests/stateful/steps.h), and every call is checked against
// the reference model (tests/stateful/runner.h). A violation prints the sequence and traps.
// VRX5200_STATEFUL_SKIP="kind|kind" lets a run look past violations of known kinds (a
// violation's text without numbers).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/stateful/runner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static char dir_template[] = "/tmp/vrx5200-fuzz-stateful-XXXXXX";
  static const char* dir = mkdtemp(dir_template);
  static stateful::Runner runner(dir ? dir : "/tmp");
  stateful::Source src(data, size);
  std::vector<stateful::Step> steps;
  const std::string v = runner.run_random(src, 48, steps);
  if (v.empty()) return 0;
  const char* skip = std::getenv("VRX5200_STATEFUL_SKIP");
  const std::string kind = stateful::kind_of(v);
  if (skip && (std::string("|") + skip + "|").find("|" + kind + "|") != std::string::npos) return 0;
  std::fprintf(stderr, "%s\n", v.c_str());
  for (size_t i = 0; i < steps.size(); ++i) {
    std::fprintf(stderr, "  %zu. %s\n", i + 1, stateful::describe(steps[i]).c_str());
  }
  std::fprintf(stderr, "  as text: \"%s\"\n", stateful::encode(steps).c_str());
  __builtin_trap();
}
