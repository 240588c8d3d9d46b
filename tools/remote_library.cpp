// The control library's exports made of the API of `vrx5200 serve`, for the tool's -u: the
// subcommands call them as they call the library's, and get what the library on the server's
// host gave the server. Only the exports the tool calls, and only as it calls them:
//
// - discovery and the board's identity, registers, the FPGA load: one request each;
// - a capture: the session is kept here and sent with the first read-back call, which runs the
//   whole capture on the server (the server's library applies the lane list and the bit
//   operations) and downloads its samples; every call then hands over one block's output, as
//   the library's file read-back does into its block copy (the file must be the null device);
// - a playback: the session and the plan are kept here; the first upload call sends the whole
//   pattern, which the server uploads block by block;
// - the text conversion needs no board: a library of this host does it;
// - the simulated board's playback memory and loopback, when the server serves that board.
//
// The arguments the library checks before it touches the board are checked here the same way,
// with the same results, since the server refuses such requests before its library sees them.
// A failure on the server comes back as the library's result code when the server names it and
// the failing step is the call's own; a failure of another step (the capture request also opens
// the board and sets up the session) fails with that step's text, as the tool would have.#include
// <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "client/results.h"
#include "tools/failure.h"
#include "tools/remote_exports.h"

namespace tool {
namespace remote_exports {

Remote g;

client::RemoteServer& server() {
  if (g.server == nullptr) fail("no server is chosen (-u URL)");  // attached first
  return *g.server;
}

std::string route(const std::string& r) {
  return client::board_route(g.key, r);
}

int64_t integer(const client::RemoteServer& s, const nlohmann::json& j, const char* name) {
  if (!j.is_object() || !j.contains(name) || !j[name].is_number_integer()) {
    fail_protocol(s, std::string("its answer has no whole number \"") + name + "\"");
  }
  return j[name].get<int64_t>();
}

bool boolean(const client::RemoteServer& s, const nlohmann::json& j, const char* name) {
  if (!j.is_object() || !j.contains(name) || !j[name].is_boolean()) {
    fail_protocol(s, std::string("its answer has no true or false \"") + name + "\"");
  }
  return j[name].get<bool>();
}

std::string read_file(const char* path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes;
  ok = false;
  if (!in) return bytes;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  ok = !in.bad();
  return bytes;
}

Remote::~Remote() {
  // A loopback this process turned on goes off with it, as it does with a local simulated board.
  if (!server || !loopback_on) return;
  try {
    server->request_json("POST", route("sim"), {{"loopback", {{"on", false}}}});
  } catch (...) {
  }
}

namespace {

// ---- session, discovery, identity ----

int32_t get_dll_version(int32_t* major, int32_t* minor) {
  if (major == nullptr || minor == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (std::sscanf(g.library_version.c_str(), "%d.%d", major, minor) != 2) {
    fail_protocol(server(), "it does not say its library's version");
  }
  return 0;
}

int32_t close_session() {
  if (g.loopback_on) {
    const int32_t r = call({"loopback"}, [] {
      server().request_json("POST", route("sim"), {{"loopback", {{"on", false}}}});
    });
    if (r == 0) g.loopback_on = false;
  }
  // This process's use of the board ends; the server keeps the board open while other clients
  // use it.
  if (g.use != 0) {
    const int64_t use = g.use;
    g.use = 0;
    call({"closing the board"}, [use] {
      server().request_json("POST", "/api/v1/boards/" + client::url_component(g.key) + "/close",
                            {{"use", use}});
    });
  }
  g.adc_set = g.dac_set = g.capture_started = g.playback_started = false;
  return 0;
}

int32_t discover() {
  nlohmann::json list;
  const int32_t r =
      call({"discovery"}, [&] { list = server().request_json("GET", "/api/v1/boards"); });
  if (r != 0) return r;
  if (!list.is_array()) fail_protocol(server(), "its board list is not a list");
  g.keys.clear();
  for (const nlohmann::json& b : list) {
    if (!b.is_object() || !b.contains("key") || !b["key"].is_string()) {
      fail_protocol(server(), "its board list names a board without a key");
    }
    g.keys.push_back(b["key"].get<std::string>());
  }
  return g.keys.empty() ? VRX5200_RESULT_NO_DEVICES : 0;
}

int32_t get_evm(int32_t* count, char* keys, int32_t* length) {
  if (count == nullptr || keys == nullptr || length == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  keys[0] = '\0';
  *length = 0;
  *count = 0;
  const int32_t r = discover();
  if (r != 0) return r;
  // The library's list: every key followed by a comma, in a buffer of 901 bytes.
  std::string list;
  for (const std::string& k : g.keys) {
    if (list.size() + k.size() + 1 > 900) break;
    list += k + ",";
    ++*count;
    *length += 9;
  }
  std::memcpy(keys, list.c_str(), list.size() + 1);
  return 0;
}

int32_t init_evm(const char* wanted, int32_t* number, int32_t* count) {
  if (wanted == nullptr || number == nullptr || count == nullptr) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  const int32_t r = discover();
  *count = static_cast<int32_t>(g.keys.size());
  if (r != 0) return r;
  // Keys compare by their first 8 characters, as the library compares them.
  for (size_t i = 0; i < g.keys.size(); ++i) {
    if (std::strncmp(g.keys[i].c_str(), wanted, 8) == 0) *number = static_cast<int32_t>(i);
  }
  return 0;
}

int32_t open_ports(int32_t number, int32_t count) {
  if (number < 0 || number >= count || number >= static_cast<int32_t>(g.keys.size())) {
    return VRX5200_RESULT_INVALID_ARGUMENT;
  }
  const std::string key = g.keys[static_cast<size_t>(number)];
  const int32_t r = call({"opening the board's ports", "no board found"}, [&] {
    const nlohmann::json info = server().request_json(
        "POST", "/api/v1/boards/" + client::url_component(key) + "/open", nlohmann::json::object());
    g.key = info.is_object() && info.contains("key") && info["key"].is_string()
                ? info["key"].get<std::string>()
                : key;
    g.use = info.is_object() && info.contains("use") && info["use"].is_number_integer()
                ? info["use"].get<int64_t>()
                : 0;
  });
  // The server found no board when it opened this one afresh (unplugged since the list).
  if (r == VRX5200_RESULT_NO_DEVICES)
    fail("the server at " + server().address().text() + " has no board");
  return r;
}

// The open board's description; `step` names the call's own failure.
int32_t board_info(const char* step, nlohmann::json& info) {
  return call({step}, [&] { info = server().request_json("GET", route("board")); });
}

int32_t get_family_id(uint8_t* family) {
  if (family == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  nlohmann::json info;
  const int32_t r = board_info("family ID", info);
  if (r == 0) *family = static_cast<uint8_t>(integer(server(), info, "family_id"));
  return r;
}

int32_t get_firmware_version(uint8_t* version) {
  if (version == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  nlohmann::json info;
  const int32_t r = board_info("firmware version", info);
  if (r == 0) *version = static_cast<uint8_t>(integer(server(), info, "firmware_version"));
  return r;
}

int32_t check_adc_busy(int32_t* busy) {
  if (busy == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  nlohmann::json info;
  const int32_t r = board_info("busy check", info);
  if (r == 0) *busy = boolean(server(), info, "busy") ? 1 : 0;
  return r;
}

// ---- registers ----

int32_t read_register(uint8_t address, int32_t* value) {
  if (value == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (address > 15) return VRX5200_RESULT_INVALID_ARGUMENT;
  return call({"register read"}, [&] {
    const nlohmann::json j =
        server().request_json("GET", route("registers/" + std::to_string(address)));
    *value = static_cast<int32_t>(integer(server(), j, "value"));
  });
}

int32_t write_register(uint8_t address, uint8_t data, int32_t* status) {
  if (status == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  if (address > 15) return VRX5200_RESULT_INVALID_ARGUMENT;
  return call({"register write"}, [&] {
    const nlohmann::json j = server().request_json(
        "PUT", route("registers/" + std::to_string(address)), {{"value", data}});
    *status = static_cast<int32_t>(integer(server(), j, "status"));
  });
}

}  // namespace
}  // namespace remote_exports

void attach_remote_library(client::Library& lib, const RemoteOptions& o) {
  using namespace remote_exports;
  client::RemoteServer& s = remote_connection(o);
  g.server = &s;
  // What the server is: a vrx5200 API this tool speaks, its library, its board's kind.
  nlohmann::json about;
  try {
    about = s.request_json("GET", "/api/v1");
  } catch (const client::RemoteFailure& f) {
    if (f.status == 404) fail_protocol(s, "it has no vrx5200 API at /api/v1");
    fail_remote(f);
  }
  if (!about.is_object() || !about.contains("api") || !about["api"].is_number_integer()) {
    fail_protocol(s, "it does not describe a vrx5200 API at /api/v1");
  }
  if (about["api"].get<int64_t>() != 1) {
    fail("the server at " + s.address().text() + " speaks API " + about["api"].dump() +
         "; this tool speaks API 1: use the tool of the server's version");
  }
  g.simulated = about.value("simulated", false);
  g.library_version = about.value("library", "");

  lib = client::Library{};
  lib.path = s.address().text();
  lib.Get_DLL_Version = get_dll_version;
  lib.Close_Session = close_session;
  lib.Open_VRX5200_Ports = open_ports;
  lib.Get_VRX5200_EVM = get_evm;
  lib.InitVRX5200_EVM = init_evm;
  lib.Read_Register = read_register;
  lib.Write_Register = write_register;
  lib.Check_ADC_Busy = check_adc_busy;
  lib.Get_Family_ID = get_family_id;
  lib.Get_Firmware_version = get_firmware_version;
  lib.Configure_VRX5200_ADC_Session = configure_adc;
  lib.Start_ADC_to_DDR = start_adc;
  lib.Read_DDR_to_File = read_to_file;
  lib.Configure_VRX5200_DAC_Session = configure_dac;
  lib.Start_DDR_to_DAC = start_playback;
  lib.Write_DDR_from_File = write_from_file;
  lib.Offset_BinRep = offset_binrep;
  lib.Twos_Complement = twos_complement;
  lib.Load_Firmware = load_firmware;
  if (g.simulated) {
    lib.sim_read_playback = sim_read_playback;
    lib.sim_set_loopback = sim_set_loopback;
  }
}

}  // namespace tool