// What the remote library's exports share (tools/remote_library.cpp, tools/remote_transfers.cpp):
// the state of the server's board as this process uses it, the requests' helpers, and the
// exports of the transfers.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "client/capture_output.h"
#include "client/library.h"
#include "client/remote.h"
#include "tools/remote.h"

namespace tool::remote_exports {

struct Remote {
  client::RemoteServer* server = nullptr;  // remote_connection()'s
  bool simulated = false;
  std::string library_version;    // "major.minor"
  std::vector<std::string> keys;  // of the last discovery
  std::string key;                // of the board opened
  int64_t use = 0;                // this process's use of it (0: none), ended when it closes

  bool adc_set = false, dac_set = false;
  ADC_Session_Params adc{};
  DAC_Session_Params dac{};
  // The capture started and read back: its samples, as the server's read-back made them.
  bool capture_started = false;
  int32_t capture_samples = 0;
  bool offset_binary = false;  // how the server is to keep it
  bool fetched = false;
  std::vector<uint16_t> output;
  size_t delivered = 0;
  int64_t read = 0;
  std::vector<int32_t> lanes;
  client::LaneCounter counter{std::vector<int32_t>{1}};
  // The playback planned.
  bool playback_started = false;
  uint32_t pattern_words = 0;
  int32_t start_offset = 0;
  bool loopback_on = false;  // turned on by this process: off again when it closes

  client::Library conversion;  // a library of this host, for the text conversion
  bool conversion_loaded = false;

  ~Remote();
};

extern Remote g;

// Runs `request`; returns 0, or the library's result code when the server failed in one of
// `steps` (the call's own); fails as the tool fails otherwise.
template <typename F>
int32_t call(std::initializer_list<const char*> steps, F&& request) {
  try {
    request();
    return 0;
  } catch (const client::RemoteFailure& f) {
    if (f.code) {
      for (const char* step : steps) {
        if (server_step(f.error) == step) return *f.code;
      }
    }
    fail_remote(f);
  }
}

client::RemoteServer& server();
// The route of the board this process opened.
std::string route(const std::string& r);
// A whole number or a boolean of a JSON answer (a protocol failure when it is missing).
int64_t integer(const client::RemoteServer& s, const nlohmann::json& j, const char* name);
bool boolean(const client::RemoteServer& s, const nlohmann::json& j, const char* name);
// The bytes of a file; `ok` false when it could not be read.
std::string read_file(const char* path, bool& ok);

// The transfers (tools/remote_transfers.cpp).
int32_t configure_adc(const ADC_Session_Params* p);
int32_t start_adc(int32_t length, int32_t*, int32_t, int32_t, int32_t);
int32_t read_to_file(const char* path, const uint32_t*, uint16_t* block_copy, const int32_t* lanes,
                     int32_t lane_count, const int32_t* codes, const int32_t* operands,
                     int32_t op_count, uint32_t timeout_ms, int32_t* this_call,
                     int32_t* write_index, int32_t* status, int32_t* pattern_timeout,
                     int32_t* more);
int32_t configure_dac(const DAC_Session_Params* p);
int32_t start_playback(uint32_t length, int32_t start_offset);
int32_t write_from_file(const char* path, int32_t, int32_t, int32_t* done);
int32_t offset_binrep(const char* input, const char* delimiters, const char* dir,
                      const int32_t* multipliers, const int32_t* lane_map, int32_t lanes,
                      int32_t columns);
int32_t twos_complement(const char* input, const char* delimiters, const char* dir,
                        const int32_t* multipliers, const int32_t* lane_map, int32_t lanes,
                        int32_t columns);
int32_t load_firmware(const char* path);
int32_t sim_read_playback(int32_t, uint32_t first, uint32_t count, uint16_t* words);
int32_t sim_set_loopback(int32_t, int32_t on, double noise, double gain, double offset,
                         const double* harmonics, int32_t count, uint32_t seed);

}  // namespace tool::remote_exports
