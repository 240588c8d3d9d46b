// The sample-file conversion on any file contents, delimiters, lane maps and column counts: it
// returns a line count or one of its negative codes, and a converted file holds whole passes.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "vrx5200_brdctrl.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  static const std::string dir = "/tmp/vrx5200-fuzz-" + std::to_string(getpid());
  static const bool made = (std::system(("mkdir -p " + dir).c_str()), true);
  (void)made;
  char delimiters[4] = {static_cast<char>(in.byte()), static_cast<char>(in.byte()), 0, 0};
  if (delimiters[0] == 0) delimiters[0] = ',';
  const int32_t columns = static_cast<int32_t>(in.byte() % 12);
  const int32_t lanes = static_cast<int32_t>(in.byte() % 9);
  std::vector<int32_t> map(static_cast<size_t>(lanes));
  for (int32_t& e : map) e = static_cast<int32_t>(in.byte() % 25) - 12;
  const bool offset = in.byte() & 1;
  const bool vrx = in.byte() & 1;
  std::vector<int32_t> multipliers(4096);
  for (size_t i = 0; i < multipliers.size(); ++i) multipliers[i] = static_cast<int32_t>(i % 7) - 3;
  const std::string input = dir + (vrx ? "/in.vrx" : "/in.txt");
  std::FILE* f = std::fopen(input.c_str(), "wb");
  std::fwrite(in.rest(), 1, in.left(), f);
  std::fclose(f);
  auto convert = offset ? VRX5200BrdCtrl_Offset_BinRep : VRX5200BrdCtrl_Twos_Complement;
  const int32_t r = convert(input.c_str(), delimiters, dir.c_str(), multipliers.data(), map.data(),
                            lanes, columns);
  if (r < -6) __builtin_trap();
  if (r >= 0) {
    std::FILE* o = std::fopen((dir + "/DAC_test.bin").c_str(), "rb");
    std::fseek(o, 0, SEEK_END);
    const long bytes = std::ftell(o);
    std::fclose(o);
    if (lanes <= 0 || bytes % lanes != 0) __builtin_trap();
  }
  return 0;
}
