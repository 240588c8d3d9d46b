// Captures the server keeps for download, and their figures. Analysis runs on the request's own
// thread, off the worker: the board is free for the next capture while this one is measured.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace server {

struct Capture {
  uint64_t id = 0;
  std::vector<uint16_t> samples;
  bool offset_binary = false;
  double rate_hz = 0;  // 0: unknown (an uneven lane list)
};

struct AnalysisOptions {
  int32_t window = 2;  // VRX5200_WINDOW_BLACKMAN_HARRIS_4
  int32_t harmonics = 5;
  int32_t spectrum_points = 0;  // 0: no spectrum in the answer

  // "window", "harmonics" and "spectrum" of a request (JSON body or query turned JSON).
  static AnalysisOptions from_json(const nlohmann::json& j);
};

// The summary, the single-tone figures (null when the record cannot be measured) and, when asked,
// the spectrum reduced to at most `spectrum_points` points (each the highest bin of its span).
nlohmann::json analyse(const Capture& c, const AnalysisOptions& o);

// The last 256 captures, up to 512 MiB of samples; the oldest go first. Enough for many clients
// at once to fetch their own samples after their capture.
class CaptureStore {
 public:
  std::shared_ptr<Capture> add(std::vector<uint16_t> samples, bool offset_binary, double rate_hz);
  std::shared_ptr<Capture> find(uint64_t id);
  nlohmann::json list();

 private:
  std::mutex mutex_;
  std::deque<std::shared_ptr<Capture>> captures_;
  uint64_t next_id_ = 1;
  size_t bytes_ = 0;
};

}  // namespace server
