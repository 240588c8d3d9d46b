// The remote library's transfers: a capture, a playback, the text conversion (here), the FPGA
// load, and the simulated board's playback memory and loopback (see tools/remote_library.cpp).
#include <cmath>
#include <cstdio>
#include <cstring>

#include "client/results.h"
#include "tools/failure.h"
#include "tools/remote_exports.h"

namespace tool::remote_exports {
namespace {

// Samples per read-back block, as the tool and the server read them.
constexpr int64_t kBlock = 65536;
// The largest playback-memory read the server answers in one request (words).
constexpr uint32_t kPlaybackChunk = uint32_t{1} << 24;
constexpr int32_t kMaxPatternWords = int32_t{1} << 29;
constexpr int32_t kMaxStartOffset = (int32_t{1} << 18) - 1;

std::string number_text(double v) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", v);
  return text;
}

client::Library& conversion() {
  if (!g.conversion_loaded) {
    std::string error;
    if (!g.conversion.open(false, "", error) && !g.conversion.open(true, "", error)) {
      fail("the text conversion runs on this host and needs the control library here: " + error);
    }
    g.conversion_loaded = true;
  }
  return g.conversion;
}

// The server's transcript, as the library prints it: its lines merged from both of the
// library's streams; the error lines go to standard error, the others to standard output.
void print_transcript(const nlohmann::json& answer, const char* path) {
  if (!answer.is_object() || !answer.contains("transcript") || !answer["transcript"].is_array()) {
    return;
  }
  for (const nlohmann::json& line : answer["transcript"]) {
    if (!line.is_string()) continue;
    std::string text = line.get<std::string>();
    // The server names its copy of the file so; the library here would have named the path.
    const std::string upload = "(the uploaded file)";
    for (size_t at = text.find(upload); at != std::string::npos; at = text.find(upload, at)) {
      text.replace(at, upload.size(), path);
      at += std::strlen(path);
    }
    const bool error = text.rfind("Error: ", 0) == 0 || text.rfind("error: ", 0) == 0;
    std::fprintf(error ? stderr : stdout, "%s\n", text.c_str());
  }
  std::fflush(stdout);
}

// Runs the capture on the server and downloads its output.
int32_t fetch_capture(const int32_t* lanes, int32_t lane_count, const int32_t* codes,
                      const int32_t* operands, int32_t op_count, uint32_t timeout_ms) {
  nlohmann::json ops = nlohmann::json::array();
  for (int32_t i = 0; i < op_count; ++i) ops.push_back({codes[i], codes[i] == 4 ? 0 : operands[i]});
  const ADC_Session_Params& a = g.adc;
  const nlohmann::json body = {
      {"samples", g.capture_samples},
      {"rate", a.Rate},
      {"rate_factor", a.Rate_Factor},
      // The library tells only "zero or not" and "one or not" of these two.
      {"step_select", a.Step_Select != 0 ? 1 : 0},
      {"half_rate_mode", a.Half_Rate_Mode == 1 ? 1 : 0},
      {"register_1", a.Register_1_Value},
      {"register_6", a.Register_6_Value},
      {"register_7", a.Register_7_Value},
      {"lanes", std::vector<int32_t>(lanes, lanes + lane_count)},
      {"ops", ops},
      {"timeout_ms", timeout_ms},
      {"offset_binary", g.offset_binary}};
  const double download_s = g.capture_samples / 5e6;
  nlohmann::json answer;
  std::string bytes;
  const int32_t r = call({"read-back"}, [&] {
    answer =
        server().request_json("POST", route("capture"), body, timeout_ms / 1000.0 + download_s);
    const int64_t id = integer(server(), answer, "id");
    bytes = server().request("GET", route("captures/" + std::to_string(id)) + "?format=raw", "", "",
                             download_s);
  });
  if (r != 0) return r;
  g.lanes.assign(lanes, lanes + lane_count);
  const size_t expected = client::LaneCounter::capture_output(g.lanes, g.capture_samples, kBlock);
  if (bytes.size() != 2 * expected) {
    fail_protocol(server(), "its capture came with " + std::to_string(bytes.size() / 2) +
                                " samples, not the " + std::to_string(expected) + " asked for");
  }
  g.output.resize(expected);
  std::memcpy(g.output.data(), bytes.data(), bytes.size());
  g.counter = client::LaneCounter(g.lanes);
  g.fetched = true;
  return 0;
}

}  // namespace

// ---- capture ----

int32_t configure_adc(const ADC_Session_Params* p) {
  if (p == nullptr || p->Pattern_Match > 1) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (p->Pattern_Match == 1) {
    fail(
        "pattern-match captures (--patterns) are not served by `vrx5200 serve`: capture "
        "without them, or on the server's host",
        kExitUsage);
  }
  g.adc = *p;
  g.adc_set = true;
  g.dac_set = g.capture_started = g.playback_started = false;
  return 0;
}

int32_t start_adc(int32_t length, int32_t*, int32_t, int32_t, int32_t) {
  if (!g.adc_set) return g.dac_set ? VRX5200_RESULT_DAC_SESSION : VRX5200_RESULT_NO_SESSION;
  if (length <= 0 || length % 32 != 0) return VRX5200_RESULT_BAD_CAPTURE_LENGTH;
  g.capture_started = true;
  g.capture_samples = length;
  g.fetched = false;
  g.output.clear();
  g.delivered = 0;
  g.read = 0;
  return 0;
}

int32_t read_to_file(const char* path, const uint32_t*, uint16_t* block_copy, const int32_t* lanes,
                     int32_t lane_count, const int32_t* codes, const int32_t* operands,
                     int32_t op_count, uint32_t timeout_ms, int32_t* this_call,
                     int32_t* write_index, int32_t* status, int32_t* pattern_timeout,
                     int32_t* more) {
  // The samples come in the block copy only: no file on this host is written.
  if (path == nullptr || std::strcmp(path, "/dev/null") != 0 || block_copy == nullptr ||
      lanes == nullptr || lane_count <= 0 ||
      (op_count > 0 && (codes == nullptr || operands == nullptr)) || this_call == nullptr ||
      write_index == nullptr || status == nullptr || pattern_timeout == nullptr ||
      more == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  if (!g.capture_started) return VRX5200_RESULT_NOT_STARTED;
  if (!g.fetched) {
    const int32_t r = fetch_capture(lanes, lane_count, codes, operands, op_count, timeout_ms);
    if (r != 0) {
      g.capture_started = false;
      *this_call = 0;
      *more = 1;
      return r;
    }
  }
  const int64_t n = std::min<int64_t>(kBlock, g.capture_samples - g.read);
  const size_t out = g.counter.output_for(static_cast<size_t>(n));
  if (out > g.output.size() - g.delivered) {
    fail_protocol(server(), "its capture holds fewer samples than its lane list keeps");
  }
  std::memcpy(block_copy, g.output.data() + g.delivered, out * sizeof(uint16_t));
  g.delivered += out;
  g.read += n;
  *this_call = static_cast<int32_t>(n);
  *write_index += static_cast<int32_t>(n);
  *status = 0;
  *pattern_timeout = 0;
  *more = g.read < g.capture_samples ? 1 : 0;
  if (*more == 0) g.capture_started = false;
  return 0;
}

// ---- playback ----

int32_t configure_dac(const DAC_Session_Params* p) {
  if (p == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  g.dac = *p;
  g.dac_set = true;
  g.adc_set = g.capture_started = g.playback_started = false;
  return 0;
}

int32_t start_playback(uint32_t length, int32_t start_offset) {
  if (!g.dac_set) return g.adc_set ? VRX5200_RESULT_OTHER_SESSION : VRX5200_RESULT_NO_SESSION;
  // The library's own checks of the plan: a last complete burst, a start the row bits can hold.
  if (length < 32 || length % 32 > 3 || length > static_cast<uint32_t>(kMaxPatternWords) ||
      start_offset < 0 || start_offset > kMaxStartOffset) {
    return VRX5200_RESULT_BAD_ADDRESS;
  }
  g.playback_started = true;
  g.pattern_words = length;
  g.start_offset = start_offset;
  return 0;
}

int32_t write_from_file(const char* path, int32_t, int32_t, int32_t* done) {
  if (path == nullptr || done == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  bool ok = false;
  std::string bytes = read_file(path, ok);
  if (!ok) return VRX5200_RESULT_FILE_OPEN_FAILED;
  if (!g.playback_started) return VRX5200_RESULT_NOT_STARTED;
  // A pattern file shorter than the plan sends nothing (the library's file upload says so).
  if (bytes.size() < 2 * static_cast<size_t>(g.pattern_words)) {
    g.playback_started = false;
    return VRX5200_RESULT_FILE_IO;
  }
  bytes.resize(2 * static_cast<size_t>(g.pattern_words));
  const DAC_Session_Params& d = g.dac;
  const std::string query = "?rate=" + number_text(d.Rate) +
                            "&rate_factor_1=" + std::to_string(d.Rate_Factor_1) +
                            "&rate_factor_2=" + std::to_string(d.Rate_Factor_2) +
                            "&rate_divisor=" + std::to_string(d.Rate_Divisor) +
                            "&control_byte_1=" + std::to_string(d.Control_Byte_1) +
                            "&control_byte_2=" + std::to_string(d.Control_Byte_2) +
                            "&start_offset=" + std::to_string(g.start_offset);
  const int32_t r = call({"pattern upload"}, [&] {
    server().request("POST", route("play") + query, bytes, "application/octet-stream",
                     static_cast<double>(bytes.size()) / 1e5);
  });
  g.playback_started = false;
  if (r == 0) *done = 1;
  return r;
}

// ---- the text conversion, here ----

int32_t offset_binrep(const char* input, const char* delimiters, const char* dir,
                      const int32_t* multipliers, const int32_t* lane_map, int32_t lanes,
                      int32_t columns) {
  return conversion().Offset_BinRep(input, delimiters, dir, multipliers, lane_map, lanes, columns);
}

int32_t twos_complement(const char* input, const char* delimiters, const char* dir,
                        const int32_t* multipliers, const int32_t* lane_map, int32_t lanes,
                        int32_t columns) {
  return conversion().Twos_Complement(input, delimiters, dir, multipliers, lane_map, lanes,
                                      columns);
}

// ---- the FPGA ----

int32_t load_firmware(const char* path) {
  if (path == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  bool ok = false;
  const std::string bytes = read_file(path, ok);
  if (!ok) return VRX5200_RESULT_PROGRAMMING_FILE;
  // The library here would try an empty file, and fail to configure the device with it.
  if (bytes.empty()) {
    fail("FPGA configuration failed: \"" + std::string(path) +
         "\" is empty, and the server loads no empty programming file");
  }
  nlohmann::json answer;
  try {
    const std::string text =
        server().request("POST", route("fpga"), bytes, "application/octet-stream",
                         static_cast<double>(bytes.size()) / 1e5);
    answer = nlohmann::json::parse(text, nullptr, false);
  } catch (const client::RemoteFailure& f) {
    // A configuration that failed: its transcript and the library's result.
    if (!f.code || !f.body.is_object() || !f.body.contains("result")) fail_remote(f);
    print_transcript(f.body, path);
    return *f.code;
  }
  if (!answer.is_object()) fail_protocol(server(), "its FPGA answer is not a JSON object");
  print_transcript(answer, path);
  return static_cast<int32_t>(integer(server(), answer, "result"));
}

// ---- the simulated board ----

int32_t sim_read_playback(int32_t, uint32_t first, uint32_t count, uint16_t* words) {
  if (words == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  for (uint32_t done = 0; done < count;) {
    const uint32_t n = std::min(count - done, kPlaybackChunk);
    std::string bytes;
    const int32_t r = call({"reading the playback memory"}, [&] {
      bytes = server().request("GET",
                               route("sim/playback") + "?first=" + std::to_string(first + done) +
                                   "&count=" + std::to_string(n),
                               "", "", n / 5e6);
    });
    if (r != 0) return r;
    if (bytes.size() != 2 * static_cast<size_t>(n)) {
      fail_protocol(server(), "its playback memory came in " + std::to_string(bytes.size()) +
                                  " bytes, not " + std::to_string(2 * static_cast<size_t>(n)));
    }
    std::memcpy(words + done, bytes.data(), bytes.size());
    done += n;
  }
  return 0;
}

int32_t sim_set_loopback(int32_t, int32_t on, double noise, double gain, double offset,
                         const double* harmonics, int32_t count, uint32_t seed) {
  if (count < 0 || (count > 0 && harmonics == nullptr)) return VRX5200_RESULT_INVALID_ARGUMENT;
  nlohmann::json loopback = {
      {"on", on != 0}, {"noise_rms", noise},
      {"gain", gain},  {"offset", offset},
      {"seed", seed},  {"harmonics_dbc", std::vector<double>(harmonics, harmonics + count)}};
  const int32_t r = call({"loopback"}, [&] {
    server().request_json("POST", route("sim"), {{"loopback", loopback}});
  });
  if (r == 0) g.loopback_on = on != 0;
  return r;
}

}  // namespace tool::remote_exports

namespace tool {

void remote_capture_code_format(bool offset_binary) {
  remote_exports::g.offset_binary = offset_binary;
}

}  // namespace tool
