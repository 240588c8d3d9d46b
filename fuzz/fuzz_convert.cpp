// The sample-file conversion on any file contents, delimiters, lane maps (entries over all of
// int32), column counts, multipliers and scaling, compared with a plain reading of its rules
// (convert_oracle.h): the same result, and the same bytes when it converted lines. A refused
// conversion leaves the pattern file of the conversion before it byte for byte as it was, and
// no other file behind.
//
// The input: a header of options, then the file's text. A repeat count in the header lets a short
// input stand for a file of several MiB of long lines.
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "convert_oracle.h"
#include "fuzz_input.h"
#include "vrx5200_brdctrl.h"

namespace {

constexpr size_t kMaxText = 4u << 20;

// A lane map entry: mostly a column pick or a near miss, sometimes any int32.
int32_t map_entry(FuzzInput& in) {
  const uint8_t kind = in.byte();
  if (kind < 200) return static_cast<int32_t>(kind % 25) - 12;
  switch (kind % 8) {
    case 0:
      return INT32_MIN;
    case 1:
      return INT32_MAX;
    case 2:
      return -INT32_MAX;
    case 3:
      return INT32_MIN + 10;
    default:
      return static_cast<int32_t>(in.u32());
  }
}

std::vector<uint8_t> read_output(const std::string& path, bool& exists) {
  std::vector<uint8_t> bytes;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  exists = f != nullptr;
  if (f == nullptr) return bytes;
  uint8_t buffer[1 << 16];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    bytes.insert(bytes.end(), buffer, buffer + got);
  }
  std::fclose(f);
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = "/tmp/vrx5200-fuzz-" + std::to_string(getpid());
  static const bool made = (std::system(("mkdir -p " + dir).c_str()), true);
  (void)made;
  FuzzInput in(data, size);

  // Up to three delimiter characters (a NUL ends the set early; the set may be empty).
  char delimiters[4] = {};
  const size_t delimiter_count = in.byte() % 4;
  for (size_t i = 0; i < delimiter_count; ++i) delimiters[i] = static_cast<char>(in.byte());
  const int32_t columns = static_cast<int32_t>(in.byte() % 12);  // 0 and 11 are refused

  // Up to 24 entries read, or a large map that repeats the entries read.
  const uint8_t lanes_kind = in.byte();
  static const int32_t kLargeLanes[] = {256, 1024, 4095, 5119, 5120, 5121, 8, 4};
  const int32_t lanes = lanes_kind < 224 ? lanes_kind % 25 : kLargeLanes[lanes_kind % 8];
  const size_t read_entries = lanes < 24 ? static_cast<size_t>(lanes) : 1 + in.byte() % 24;
  std::vector<int32_t> base(read_entries);
  for (int32_t& e : base) e = map_entry(in);
  std::vector<int32_t> map(static_cast<size_t>(lanes));
  for (size_t i = 0; i < map.size(); ++i) map[i] = base[i % base.size()];

  const uint8_t flags = in.byte();
  const bool offset = flags & 1;
  const bool vrx = flags & 2;
  const bool null_multipliers = (flags & 0x1C) == 0x1C;
  std::vector<int32_t> multipliers(4096);
  const uint32_t step = in.u32(), start = in.u32();
  for (size_t i = 0; i < multipliers.size(); ++i) {
    multipliers[i] = (flags & 4) ? static_cast<int32_t>(start + step * static_cast<uint32_t>(i))
                                 : static_cast<int32_t>(i % 7) - 3;
  }

  // The text, repeated up to 2^16 times (at most 4 MiB).
  const uint8_t repeat = in.byte();
  const size_t copies = repeat < 0xC0 ? 1 : size_t{1} << ((repeat - 0xC0) % 17);
  std::string text;
  const std::string piece(reinterpret_cast<const char*>(in.rest()), in.left());
  for (size_t i = 0; i < copies && text.size() + piece.size() <= kMaxText; ++i) text += piece;

  const std::string input = dir + (vrx ? "/in.vrx" : "/in.txt");
  const std::string output = dir + "/DAC_test.bin";
  std::FILE* f = std::fopen(input.c_str(), "wb");
  if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) __builtin_trap();
  std::fclose(f);
  // The last conversion's pattern file, or none at all.
  static const std::vector<uint8_t> kPrevious = {'p', 'r', 'e', 'v', 0, 0xFF};
  const bool had_previous = flags & 0x20;
  if (had_previous) {
    std::FILE* p = std::fopen(output.c_str(), "wb");
    if (p == nullptr || std::fwrite(kPrevious.data(), 1, kPrevious.size(), p) != kPrevious.size())
      __builtin_trap();
    std::fclose(p);
  } else {
    std::remove(output.c_str());
  }

  const int32_t* m = null_multipliers ? nullptr : multipliers.data();
  auto convert = offset ? VRX5200BrdCtrl_Offset_BinRep : VRX5200BrdCtrl_Twos_Complement;
  const int32_t result = convert(input.c_str(), delimiters, dir.c_str(), m,
                                 map.empty() ? nullptr : map.data(), lanes, columns);
  const convert_oracle::Expected expected = convert_oracle::convert(
      text, input, delimiters, m, map.empty() ? nullptr : map.data(), lanes, columns, offset);

  if (result != expected.result) {
    std::fprintf(stderr, "result %d, expected %d\n", result, expected.result);
    __builtin_trap();
  }
  bool exists = false;
  const std::vector<uint8_t> bytes = read_output(output, exists);
  if (result >= 0 && bytes != expected.bytes) {
    std::fprintf(stderr, "output of %zu bytes differs from the %zu expected\n", bytes.size(),
                 expected.bytes.size());
    __builtin_trap();
  }
  if (result < 0 && (exists != had_previous || (exists && bytes != kPrevious))) {
    std::fprintf(stderr, "a refusal (%d) changed the previous pattern file\n", result);
    __builtin_trap();
  }
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name != "DAC_test.bin" && name != "in.txt" && name != "in.vrx") {
      std::fprintf(stderr, "the conversion left %s behind\n", name.c_str());
      __builtin_trap();
    }
  }
  return 0;
}
