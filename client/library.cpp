#include "client/library.h"

#include <unistd.h>

#include <climits>
#include <sstream>
#include <type_traits>

#ifndef VRX5200_LIBDIR
#define VRX5200_LIBDIR "lib"
#endif

namespace client {
namespace {

std::string executable_dir() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

template <typename F>
bool bind(void* handle, const char* name, F& slot, std::string& missing) {
  slot = reinterpret_cast<F>(dlsym(handle, name));
  if (slot == nullptr) missing = name;
  return slot != nullptr;
}

}  // namespace

bool Library::open(bool simulated, const std::string& explicit_path, std::string& error) {
  const std::string file = simulated ? "libvrx5200sim.so" : "libvrx5200.so";
  std::vector<std::string> candidates;
  if (!explicit_path.empty()) {
    candidates.push_back(explicit_path);
  } else {
    const std::string dir = executable_dir();
    candidates = {dir + "/../" + file, dir + "/../" VRX5200_LIBDIR "/" + file, dir + "/" + file,
                  file};
  }
  std::string last_error;
  for (const std::string& candidate : candidates) {
    handle = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) {
      path = candidate;
      break;
    }
    const char* e = dlerror();
    if (last_error.empty() && e != nullptr) last_error = e;
  }
  if (handle == nullptr) {
    error = "cannot load " + file + (last_error.empty() ? "" : " (" + last_error + ")");
    return false;
  }
  std::string missing;
  bool ok = true;
#define VRX_BIND(name) ok = bind(handle, "VRX5200BrdCtrl_" #name, name, missing) && ok;
  VRX_BIND(Get_DLL_Version)
  VRX_BIND(Close_Session)
  VRX_BIND(Open_VRX5200_Ports)
  VRX_BIND(Get_VRX5200_EVM)
  VRX_BIND(InitVRX5200_EVM)
  VRX_BIND(Read_Register)
  VRX_BIND(Write_Register)
  VRX_BIND(Check_ADC_Busy)
  VRX_BIND(Get_Family_ID)
  VRX_BIND(Get_Firmware_version)
  VRX_BIND(Configure_VRX5200_ADC_Session)
  VRX_BIND(Start_ADC_to_DDR)
  VRX_BIND(Read_DDR_to_File)
  VRX_BIND(Configure_VRX5200_DAC_Session)
  VRX_BIND(Start_DDR_to_DAC)
  VRX_BIND(Write_DDR_from_Array)
  VRX_BIND(Write_DDR_from_File)
  VRX_BIND(Offset_BinRep)
  VRX_BIND(Twos_Complement)
  VRX_BIND(Load_Firmware)
#undef VRX_BIND
  // The simulated board's own functions: absent from the library of attached boards.
  auto optional = [this](const char* name, auto& slot) {
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
  };
  optional("VRXSim_Read_Playback", sim_read_playback);
  optional("VRXSim_Set_Loopback", sim_set_loopback);
  optional("VRXSim_Set_Signal", sim_set_signal);
  optional("VRXSim_Set_Capture_Step", sim_set_capture_step);
  optional("VRXSim_Set_Plugged", sim_set_plugged);
  if (!ok) error = path + " lacks " + missing;
  return ok;
}

std::vector<std::string> split_keys(const char* keys, int32_t count) {
  std::vector<std::string> out;
  std::stringstream in(keys);
  std::string key;
  while (static_cast<int32_t>(out.size()) < count && std::getline(in, key, ',')) out.push_back(key);
  return out;
}

}  // namespace client
