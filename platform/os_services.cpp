// The two system services over the operating system, for builds on a real driver.
#include <cstdint>

#include "session/d2xx.h"

#if defined(_WIN32)
#include <windows.h>

extern "C" uint32_t platform_clock_ms(void) {
  return static_cast<uint32_t>(GetTickCount());
}

// Sleep(0) gives up the rest of the time slice.
extern "C" void platform_sleep_ms(uint32_t ms) {
  Sleep(ms);
}

#else
#include <chrono>
#include <thread>

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
#endif
