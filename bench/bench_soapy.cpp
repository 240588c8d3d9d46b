// The SoapySDR module's own cost per sample, beside the library's read-back it streams.
//
//   LibraryReadBack   the control library alone, in this process: a 1 Mi-sample capture of the
//                     simulated board read back block by block as the module's worker reads it
//                     (file read-back to the null device, block copy kept)
//   SoapyBurst/CS16, /CF32
//                     the same capture as a SoapySDR burst through the module: its worker
//                     process reads back into the shared ring, this process turns the ring into
//                     the stream's format
//   Convert/CS16, /CF32
//                     the format conversion alone, 64 Ki samples in cache
//
// CPU time per sample is counted in both processes (this one's, and the worker's from
// /proc/PID/schedstat): host_cpu_ns + worker_cpu_ns - library_cpu_ns is what the module adds.
#include <dlfcn.h>
#include <time.h>

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Modules.hpp>
#include <benchmark/benchmark.h>

#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "client/library.h"
#include "soapy/convert.h"
#include "soapy/protocol.h"

namespace {

constexpr int32_t kSamples = 1 << 20;

double process_cpu_ns() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e9 + t.tv_nsec;
}

// A process's CPU time so far, in ns (the scheduler's own account of it).
double cpu_ns_of(const std::string& pid) {
  std::ifstream in("/proc/" + pid + "/schedstat");
  double ns = 0;
  in >> ns;
  return ns;
}

void LibraryReadBack(benchmark::State& state) {
  client::Library lib;
  std::string error;
  if (!lib.open(true, VRX5200_SIM_LIBRARY, error)) throw std::runtime_error(error);
  int32_t count = 0, length = 0;
  char keys[901] = {};
  lib.Get_VRX5200_EVM(&count, keys, &length);
  if (lib.Open_VRX5200_Ports(0, count) != 0) throw std::runtime_error("cannot open the board");
  ADC_Session_Params adc{2, 0, 0, 0, 250e6, 0, 0, 0, 0, {}};
  lib.Configure_VRX5200_ADC_Session(&adc);
  std::vector<uint16_t> block(vrxsoapy::kSlotSamples);
  const int32_t lanes[] = {1};
  const double cpu0 = process_cpu_ns();
  for (auto _ : state) {
    lib.Start_ADC_to_DDR(kSamples, nullptr, 0, 0, 0);
    int32_t this_call = 0, index = 0, status = 0, timeout = 0, more = 1;
    while (more == 1) {
      if (lib.Read_DDR_to_File("/dev/null", nullptr, block.data(), lanes, 1, nullptr, nullptr, 0,
                               10000, &this_call, &index, &status, &timeout, &more) != 0) {
        state.SkipWithError("read-back failed");
        break;
      }
      benchmark::DoNotOptimize(block.data());
    }
  }
  const double samples = static_cast<double>(state.iterations()) * kSamples;
  state.counters["library_cpu_ns"] = (process_cpu_ns() - cpu0) / samples;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  lib.Close_Session();
}
BENCHMARK(LibraryReadBack)->Unit(benchmark::kMillisecond)->UseRealTime();

void SoapyBurst(benchmark::State& state, const char* format) {
  SoapySDR::Device* dev = SoapySDR::Device::make("driver=vrx5200,sim=1");
  const std::string worker = dev->getHardwareInfo()["worker_pid"];
  SoapySDR::Stream* stream = dev->setupStream(SOAPY_SDR_RX, format);
  const bool cf32 = std::string(format) == SOAPY_SDR_CF32;
  std::vector<char> buffer(size_t{kSamples} * (cf32 ? 8 : 4));
  const double host0 = process_cpu_ns(), worker0 = cpu_ns_of(worker);
  for (auto _ : state) {
    dev->activateStream(stream, SOAPY_SDR_END_BURST, 0, kSamples);
    size_t got = 0;
    while (got < size_t{kSamples}) {
      void* buffs[] = {buffer.data() + got * (cf32 ? 8 : 4)};
      int flags = 0;
      long long time_ns = 0;
      const int n = dev->readStream(stream, buffs, kSamples - got, flags, time_ns, 5000000);
      if (n <= 0) {
        state.SkipWithError("readStream failed");
        break;
      }
      got += static_cast<size_t>(n);
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  const double samples = static_cast<double>(state.iterations()) * kSamples;
  state.counters["host_cpu_ns"] = (process_cpu_ns() - host0) / samples;
  state.counters["worker_cpu_ns"] = (cpu_ns_of(worker) - worker0) / samples;
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  dev->closeStream(stream);
  SoapySDR::Device::unmake(dev);
}
BENCHMARK_CAPTURE(SoapyBurst, CS16, SOAPY_SDR_CS16)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK_CAPTURE(SoapyBurst, CF32, SOAPY_SDR_CF32)->Unit(benchmark::kMillisecond)->UseRealTime();

void Convert(benchmark::State& state, bool cf32) {
  const size_t n = 65536;
  std::vector<uint16_t> codes(n);
  for (size_t i = 0; i < n; ++i) codes[i] = static_cast<uint16_t>(i * 2654435761u >> 16);
  std::vector<float> f(2 * n);
  std::vector<int16_t> s(2 * n);
  for (auto _ : state) {
    if (cf32) {
      vrxsoapy::codes_to_cf32(codes.data(), f.data(), n);
      benchmark::DoNotOptimize(f.data());
    } else {
      vrxsoapy::codes_to_cs16(codes.data(), s.data(), n);
      benchmark::DoNotOptimize(s.data());
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
}
BENCHMARK_CAPTURE(Convert, CS16, false);
BENCHMARK_CAPTURE(Convert, CF32, true);

}  // namespace

int main(int argc, char** argv) {
  // The module of this build, loaded by hand (no other module is looked for).
  const std::string problem = SoapySDR::loadModule(VRX5200_SOAPY_MODULE);
  if (!problem.empty()) {
    std::fprintf(stderr, "cannot load %s: %s\n", VRX5200_SOAPY_MODULE, problem.c_str());
    return 1;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
