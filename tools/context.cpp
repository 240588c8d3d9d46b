#include "tools/context.h"

#include <dlfcn.h>

#include <optional>
#include <vector>

#include "client/units.h"

#include "tools/failure.h"
#include "tools/usb_access.h"

namespace tool {

client::Library& Context::library() {
  if (loaded_) return lib_;
  if (remote()) {
    attach_remote_library(lib_, global.remote);
    loaded_ = true;
    return lib_;
  }
  std::string error;
  if (!lib_.open(global.sim, global.library, error)) {
    fail(error + (global.sim ? ""
                             : "; no driver for attached boards here? run with --sim for the "
                               "simulated board"));
  }
  loaded_ = true;
  return lib_;
}

client::Library& Context::conversion_library() {
  if (loaded_) return lib_;
  std::string error;
  if (!lib_.open(global.sim, global.library, error) &&
      !(global.library.empty() && lib_.open(true, "", error))) {
    fail(error + (global.sim ? ""
                             : "; no driver for attached boards here? run with --sim for the "
                               "simulated board"));
  }
  loaded_ = true;
  return lib_;
}

bool Context::try_attached() {
  std::string error;
  loaded_ = lib_.open(false, "", error);
  return loaded_;
}

void Context::unload() {
  if (lib_.handle != nullptr) dlclose(lib_.handle);
  lib_ = client::Library{};
  loaded_ = false;
}

void Context::fail_if_unusable_bridges() {
  if (remote()) return;  // the server's bridges are its own business
  const std::string problems = usb_access_problems();
  if (!problems.empty()) fail("no board can be used:" + problems);
}

void Context::fail_no_board() {
  if (remote()) fail("the server at " + global.remote.uri + " has no board");
  if (!global.sim) fail_if_unusable_bridges();
  fail("no board found; check the USB cable, or run with --sim for the simulated board");
}

std::string Context::open_board() {
  client::Library& lib = library();
  int32_t count = 0, length = 0;
  char keys[901] = {};
  const int32_t found = lib.Get_VRX5200_EVM(&count, keys, &length);
  if (found == VRX5200_RESULT_NO_DEVICES || (found == 0 && count == 0)) fail_no_board();
  check("discovery", found);
  int32_t number = 0;
  if (!global.board.empty()) {
    number = board_number(keys, count);
    if (number < 0) {
      fail("no board with serial key or number \"" + global.board + "\" (see: vrx5200 list)");
    }
  } else if (count > 1) {
    fail("several boards found; choose one with --board KEY (see: vrx5200 list)");
  }
  const int32_t opened = lib.Open_VRX5200_Ports(number, count);
  if (opened != 0 && !global.sim && !remote()) {
    const std::string problems = usb_access_problems();
    if (!problems.empty()) fail("opening the board's ports failed:" + problems);
  }
  check("opening the board's ports", opened);
  const std::vector<std::string> list = client::split_keys(keys, count);
  return number < static_cast<int32_t>(list.size()) ? list[static_cast<size_t>(number)] : "";
}

int32_t Context::board_number(const char* keys, int32_t& count) {
  int32_t number = -1;
  check("discovery", library().InitVRX5200_EVM(global.board.c_str(), &number, &count));
  if (number >= 0) return number;
  // Not a serial key: the number the list gives the board.
  const std::vector<std::string> list = client::split_keys(keys, count);
  const std::optional<long long> n = client::parse_whole(global.board);
  if (n && global.board[0] != '-' && *n < static_cast<long long>(list.size())) {
    return static_cast<int32_t>(*n);
  }
  return -1;
}

std::string Context::board_key() {
  if (global.board.empty()) return "";
  int32_t count = 0, length = 0;
  char keys[901] = {};
  if (library().Get_VRX5200_EVM(&count, keys, &length) != 0) return global.board;
  const int32_t number = board_number(keys, count);
  const std::vector<std::string> list = client::split_keys(keys, count);
  return number >= 0 && number < static_cast<int32_t>(list.size())
             ? list[static_cast<size_t>(number)]
             : global.board;
}

}  // namespace tool
