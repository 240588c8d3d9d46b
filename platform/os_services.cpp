// The two system services over the operating system, for builds on a real driver.
#include <chrono>
#include <cstdint>
#include <thread>

#include "session/d2xx.h"

extern "C" uint32_t platform_clock_ms(void) {
  using namespace std::chrono;
  static const steady_clock::time_point start = steady_clock::now();
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

extern "C" void platform_sleep_ms(uint32_t ms) {
  if (ms == 0) {
    std::this_thread::yield();
  } else {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
  }
}
