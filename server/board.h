// The board as the server drives it, in the board's worker process (worker_process.h): every
// method makes control-library calls, one at a time. Methods throw ApiError for refusals and
// library failures.
#pragma once

#include <atomic>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/jobs.h"
#include "client/library.h"

namespace server {

struct CaptureRequest {
  int32_t samples = 65536;
  double rate = 250e6;
  int32_t rate_factor = 2, step_select = 0, half_rate_mode = 0;
  uint8_t register_1 = 0, register_6 = 0, register_7 = 0;
  std::vector<int32_t> lanes{1};
  std::vector<int32_t> op_codes, op_operands;
  bool offset_binary = false;
  uint32_t timeout_ms = 10000;

  // The request's own fields from JSON; throws ApiError 400 for wrong types or values.
  static CaptureRequest from_json(const nlohmann::json& j);
  // The rate of the delivered samples in Hz (0 when the lane list makes it uneven).
  double sample_rate() const;
  // False when the lane list reorders lanes or keeps them unevenly: the samples are not evenly
  // spaced in time, and no spectral figure of them stands.
  bool evenly_spaced() const;
};

struct PlayRequest {
  std::vector<uint16_t> words;
  double rate = 100e6;
  int32_t rate_factor_1 = 8, rate_factor_2 = 1, rate_divisor = 1;
  uint8_t control_byte_1 = 0, control_byte_2 = 0;
  int32_t start_offset = 0;
  bool loopback = false;  // simulated board: wire the DAC output to the ADC input

  // The session fields from JSON (or from query parameters turned into JSON numbers).
  void session_from_json(const nlohmann::json& j);
  // The generator's pattern: {"kind": "tone"|"multitone", "words", "cycles", "tones",
  // "amplitude_dbfs"}; `make`: false checks the request only (its length in pattern_words).
  void generate(const nlohmann::json& j, bool make = true);
  int64_t pattern_words = 0;
};

class Board {
 public:
  // `preferred`: the serial key of the board opened when a request needs one (empty: the only
  // or first board found).
  Board(client::Library& lib, bool simulated, std::string preferred)
      : lib_(lib), simulated_(simulated), preferred_(std::move(preferred)) {}

  nlohmann::json discover();
  nlohmann::json open(const std::string& key);  // empty: the only (or first) board
  void close();
  nlohmann::json info();
  bool is_open() const { return open_; }
  // Entries into the board (each a run of library calls), and how many overlapped another.
  uint64_t calls() const { return calls_; }
  uint64_t overlaps() const { return overlaps_; }
  const std::string& key() const { return key_; }
  // The open board's family and firmware as info() last read them (-1: not read).
  int family_id() const { return family_id_; }
  int firmware_version() const { return firmware_version_; }
  std::string library_version();

  nlohmann::json read_register(int address);
  nlohmann::json write_register(int address, int value);

  // Captures into `samples` (resized); progress and cancellation between blocks.
  void capture(const CaptureRequest& r, std::vector<uint16_t>& samples, Job& job);
  nlohmann::json play(const PlayRequest& p, Job& job);
  // Loads the programming file at `path`; the transcript lines go to `line` as they come.
  int32_t load_fpga(const std::string& path, std::vector<std::string>& transcript, Job& job);

  // The simulated board's controls; throws 409 on attached boards.
  void sim_control(const nlohmann::json& j);
  std::vector<uint16_t> sim_playback(uint32_t first, uint32_t count);

 private:
  void ensure_open();
  // This board's number on the simulated bench.
  int32_t sim_index();
  void check(const char* what, int32_t code, int32_t success = 0);
  void after_block(Job& job);  // the bench's unplug fault, then cancellation

  client::Library& lib_;
  bool simulated_;
  std::string preferred_;
  bool open_ = false;
  bool stale_ = false;  // a transfer failed: open the board afresh before the next call
  std::string key_;
  int32_t number_ = -1;
  int family_id_ = -1, firmware_version_ = -1;
  std::vector<std::string> keys_;  // from the last discovery
  // The ADC session in force, so that repeated captures with the same settings skip the clock
  // set-up; cleared by anything else that changes the session.
  bool adc_ready_ = false;
  CaptureRequest adc_;
  int unplug_after_blocks_ = -1;
  // Entries into the board from outside it, and those that found another still inside (the
  // one worker makes that impossible; counted where the library is called, so that the tests
  // can show it).
  std::atomic<uint64_t> calls_{0};
  std::atomic<uint64_t> overlaps_{0};
  std::atomic<int> inside_{0};
  friend class Entry;
  bool unplugged_ = false;  // the bench's board, unplugged through this server  // bench fault:
                            // unplug after this many blocks of the next job
};

}  // namespace server
