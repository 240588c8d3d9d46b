#include "server/captures.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "server/fields.h"
#include "client/sigmf.h"
#include "client/tone_report.h"
#include "client/units.h"
#include "vrx5200_analysis.h"

namespace server {
namespace {

constexpr size_t kMaxCaptures = 256;

size_t analyzer_bytes(uint64_t n) {
  return static_cast<size_t>(n) * ((n & (n - 1)) ? 64 : 4);
}
constexpr size_t kMaxBytes = size_t{512} << 20;

// Analyzers by record length, lent to one request at a time: a repeated length (a continuous
// capture) costs only its transform. How many run at once is the Analyses queue's business; the
// pool keeps analyzers up to a memory budget.
class AnalyzerPool {
 public:
  struct Lease {
    AnalyzerPool* pool;
    uint64_t n;
    VRX5200Analyzer* analyzer;
    Lease(AnalyzerPool* p, uint64_t length, VRX5200Analyzer* a) : pool(p), n(length), analyzer(a) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { pool->give_back(n, analyzer); }
  };

  ~AnalyzerPool() {
    for (auto& [n, a] : free_) VRX5200Analysis_Destroy(a);
  }

  Lease take(uint64_t n) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto it = free_.find(n);
      if (it != free_.end()) {
        VRX5200Analyzer* a = it->second;
        free_.erase(it);
        kept_bytes_ -= bytes_of(n);
        return {this, n, a};
      }
    }
    VRX5200Analyzer* a = nullptr;
    if (VRX5200Analysis_Create(n, 1, &a) != VRX5200_ANALYSIS_OK) a = nullptr;
    return {this, n, a};
  }

 private:
  // What an analyzer of n samples holds: 4 bytes a sample for a power of two, up to about 60 by
  // Bluestein's way for other lengths.
  static size_t bytes_of(uint64_t n) { return analyzer_bytes(n); }

  void give_back(uint64_t n, VRX5200Analyzer* a) {
    if (a != nullptr) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (kept_bytes_ + bytes_of(n) <= kBudget) {
        free_.emplace(n, a);
        kept_bytes_ += bytes_of(n);
        a = nullptr;
      }
    }
    VRX5200Analysis_Destroy(a);  // null when kept
  }

  static constexpr size_t kBudget = size_t{64} << 20;
  std::mutex mutex_;
  std::multimap<uint64_t, VRX5200Analyzer*> free_;
  size_t kept_bytes_ = 0;
};

AnalyzerPool g_analyzers;

nlohmann::json summary_of(const Capture& c) {
  if (c.samples.empty()) return nullptr;
  int32_t lo = INT32_MAX, hi = INT32_MIN;
  double sum = 0, squares = 0;
  for (uint16_t w : c.samples) {
    const int32_t v = c.offset_binary ? static_cast<int32_t>(w) : static_cast<int16_t>(w);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    sum += v;
    squares += static_cast<double>(v) * v;
  }
  const double n = static_cast<double>(c.samples.size());
  return {{"min", lo}, {"max", hi}, {"mean", sum / n}, {"rms", std::sqrt(squares / n)}};
}

// Two decimals are all a plot needs, and keep the answer short.
double two_decimals(double x) {
  return std::round(x * 100) / 100;
}

}  // namespace

AnalysisOptions AnalysisOptions::from_json(const nlohmann::json& j) {
  AnalysisOptions o;
  const std::optional<int32_t> window =
      client::window_named(string_field(j, "window", "blackmanharris"));
  if (!window)
    bad_request("\"window\" must be rectangular, hann, blackmanharris or blackmanharris7");
  o.window = *window;
  o.harmonics = static_cast<int32_t>(int_field(j, "harmonics", 5, 2, VRX5200_MAX_HARMONICS));
  o.spectrum_points = static_cast<int32_t>(int_field(j, "spectrum", 0, 0, 1 << 16));
  return o;
}

nlohmann::json analyse(const Capture& c, const AnalysisOptions& o) {
  nlohmann::json out = {{"summary", summary_of(c)}, {"metrics", nullptr}};
  const uint64_t n = c.samples.size();
  if (n < 64) return out;
  VRX5200ToneConfig config{};
  config.bits = 16;
  config.code_format = c.offset_binary ? VRX5200_OFFSET_BINARY : VRX5200_TWOS_COMPLEMENT;
  config.window = o.window;
  config.harmonics = o.harmonics;
  config.rate_hz = c.rate_hz;
  std::vector<double> power(n / 2 + 1);
  AnalyzerPool::Lease lease = g_analyzers.take(n);
  // The figures, their warnings and their nulls as `vrx5200 analyze --json` gives them.
  client::ToneReport report;
  report.config = config;
  report.evenly_spaced = c.evenly_spaced;
  int32_t code = client::analyse_tone(lease.analyzer, c.samples.data(), VRX5200_SAMPLES_UINT16, n,
                                      report, power.data());
  if (code == VRX5200_ANALYSIS_CONSTANT_INPUT || code == VRX5200_ANALYSIS_NO_NOISE_BINS) {
    // No tone to measure: the spectrum alone still shows what is there.
    code = VRX5200Analysis_Power_Spectrum(lease.analyzer, c.samples.data(), VRX5200_SAMPLES_UINT16,
                                          n, config, power.data());
  } else if (code == VRX5200_ANALYSIS_OK) {
    out["metrics"] = nlohmann::json::parse(client::tone_json(report).text());
  }
  // Samples not evenly spaced have no spectrum to show either.
  if (o.spectrum_points <= 0 || code != VRX5200_ANALYSIS_OK || !c.evenly_spaced) return out;
  // dBFS with a tone's peak reading the tone's power: the bin's power over a full-scale sine's,
  // times the window's equivalent noise bandwidth.
  VRX5200WindowInfo w{};
  VRX5200Analysis_Window_Info(o.window, &w);
  const double full_scale = 32768.0 * 32768.0 / 2;
  const double scale = w.enbw_bins / full_scale;
  const size_t bins = power.size();
  const size_t points = std::min(bins, static_cast<size_t>(o.spectrum_points));
  std::vector<double> frequency, dbfs;
  frequency.reserve(points);
  dbfs.reserve(points);
  const double bin_hz = c.rate_hz > 0 ? c.rate_hz / static_cast<double>(n) : 0;
  for (size_t p = 0; p < points; ++p) {
    const size_t first = p * bins / points, last = (p + 1) * bins / points;
    size_t best = first;
    for (size_t b = first + 1; b < last; ++b) {
      if (power[b] > power[best]) best = b;
    }
    // Without a rate the axis is in cycles per record (bins).
    frequency.push_back(bin_hz > 0 ? static_cast<double>(best) * bin_hz
                                   : static_cast<double>(best));
    dbfs.push_back(two_decimals(10 * std::log10(std::max(power[best] * scale, 1e-30))));
  }
  out["spectrum"] = {{"bin_hz", bin_hz},
                     {"bins", bins},
                     {"unit", bin_hz > 0 ? "Hz" : "bin"},
                     {"frequency_hz", frequency},
                     {"dbfs", dbfs}};
  return out;
}

std::string sigmf_archive_of(const Capture& c, const std::string& recorder) {
  client::SigmfSource source;
  source.offset_binary = c.offset_binary;
  source.rate_hz = c.rate_hz;
  source.evenly_spaced = c.evenly_spaced;
  source.board = c.board;
  source.family_id = c.family_id;
  source.firmware_version = c.firmware_version;
  source.recorder = recorder;
  source.taken_ms = c.taken_ms;
  std::string meta;
  {
    AnalyzerPool::Lease lease = g_analyzers.take(c.samples.size());
    meta = client::sigmf_meta(source, c.samples.data(), c.samples.size(), lease.analyzer);
  }
  return client::sigmf_archive("capture-" + std::to_string(c.id), meta,
                               reinterpret_cast<const char*>(c.samples.data()),
                               c.samples.size() * 2, static_cast<std::time_t>(c.taken_ms / 1000));
}

size_t analysis_cost(uint64_t n) {
  // The analyzer, the power spectrum and the spectrum's points.
  return analyzer_bytes(n) + static_cast<size_t>(n / 2 + 1) * 8 + (size_t{1} << 20);
}

Analyses::Analyses(size_t threads, size_t budget, size_t queue)
    : budget_(budget), max_queue_(queue) {
  for (size_t i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
}

Analyses::~Analyses() {
  std::deque<Task> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    left.swap(queue_);
  }
  changed_.notify_all();
  for (auto& t : threads_) t.join();
  for (auto& task : left) task.drop();
}

void Analyses::submit(size_t cost, std::function<void()> task, std::function<bool()> dropped,
                      std::function<void()> drop) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) throw ApiError{503, "the server is stopping", std::nullopt};
    if (queue_.size() >= max_queue_) {
      throw ApiError{503, "too many analyses are waiting; try again", std::nullopt};
    }
    queue_.push_back({cost, std::move(task), std::move(drop), std::move(dropped)});
  }
  changed_.notify_all();
}

void Analyses::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // The oldest waits for its turn: one that fits the budget left, or the budget whole.
    changed_.wait(lock, [&] {
      return stopping_ ||
             (!queue_.empty() && (running_ == 0 || in_use_ + queue_.front().cost <= budget_));
    });
    if (stopping_) return;
    Task task = std::move(queue_.front());
    queue_.pop_front();
    const bool wanted = !task.dropped || !task.dropped();
    if (wanted) {
      in_use_ += task.cost;
      ++running_;
    }
    lock.unlock();
    if (wanted) {
      task.run();
    } else {
      task.drop();
    }
    lock.lock();
    if (wanted) {
      in_use_ -= task.cost;
      --running_;
    }
    changed_.notify_all();
  }
}

std::shared_ptr<Capture> CaptureStore::add(Capture kept) {
  auto c = std::make_shared<Capture>(std::move(kept));
  c->taken_ms = client::now_ms();
  std::lock_guard<std::mutex> lock(mutex_);
  c->id = next_id_++;
  captures_.push_back(c);
  bytes_ += c->samples.size() * 2;
  while (captures_.size() > 1 && (captures_.size() > kMaxCaptures || bytes_ > kMaxBytes)) {
    bytes_ -= captures_.front()->samples.size() * 2;
    captures_.pop_front();
  }
  return c;
}

std::shared_ptr<Capture> CaptureStore::find(uint64_t id, const std::string& board) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& c : captures_) {
    if (c->id == id && (board.empty() || c->board == board)) return c;
  }
  return nullptr;
}

nlohmann::json CaptureStore::list(const std::string& board) {
  std::lock_guard<std::mutex> lock(mutex_);
  nlohmann::json out = nlohmann::json::array();
  for (auto& c : captures_) {
    if (!board.empty() && c->board != board) continue;
    out.push_back({{"id", c->id},
                   {"board", c->board},
                   {"samples", c->samples.size()},
                   {"rate_hz", c->rate_hz},
                   {"offset_binary", c->offset_binary},
                   {"evenly_spaced", c->evenly_spaced}});
  }
  return out;
}

}  // namespace server
