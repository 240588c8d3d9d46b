// Sample-file conversion, time per MiB of text: lines of two numbers, physical lines of 64 KiB
// and 1 MiB (read as 79-character lines), and text whose lines end in CR only (no '\n' at all).
// The conversion reads each character a bounded number of times, so the time per MiB does not
// grow with the length of the physical lines.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "vrx5200_brdctrl.h"

namespace {

constexpr size_t kMiB = size_t{1} << 20;
constexpr size_t kTextSize = 4 * kMiB;

// kTextSize characters of `line` repeated, each physical line ended by `end`.
std::string text_of(const std::string& line, const std::string& end) {
  std::string text;
  while (text.size() < kTextSize) text += line + end;
  text.resize(kTextSize - 1);
  return text + "\n";
}

// One physical line of `length` characters of comma-separated samples.
std::string long_line(size_t length) {
  std::string line;
  while (line.size() < length) line += "1234,-567,";
  line.resize(length);
  return line;
}

void BM_Convert(benchmark::State& state, const std::string& text) {
  const std::string dir = std::filesystem::temp_directory_path().string() +
                          "/vrx5200_bench_convert_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string input = dir + "/samples.txt";
  if (std::FILE* f = std::fopen(input.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
  static int32_t multipliers[4096];
  const int32_t map[4] = {-1, 1, -2, 2};
  for (auto _ : state) {
    const int32_t lines =
        VRX5200BrdCtrl_Offset_BinRep(input.c_str(), ",", dir.c_str(), multipliers, map, 4, 2);
    if (lines <= 0) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(lines);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
  state.counters["per_MiB"] = benchmark::Counter(
      static_cast<double>(text.size()) / kMiB,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  std::filesystem::remove_all(dir);
}

BENCHMARK_CAPTURE(BM_Convert, short_lines, text_of("-12345,6789", "\n"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convert, line_64KiB, text_of(long_line(64 << 10), "\n"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convert, line_1MiB, text_of(long_line(kMiB), "\n"))
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Convert, cr_only, text_of("12,-34", "\r"))->Unit(benchmark::kMillisecond);

}  // namespace
