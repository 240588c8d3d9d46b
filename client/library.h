// The control library as a client loads it: the shared library opened at run time and its
// exports looked up by name, exactly as a user's program or a script does.
#pragma once

#include <dlfcn.h>

#include <string>
#include <vector>

#include "sim/vrx5200sim.h"
#include "vrx5200_brdctrl.h"

namespace client {

struct Library {
#define VRX_EXPORT(name) decltype(&VRX5200BrdCtrl_##name) name = nullptr;
  VRX_EXPORT(Get_DLL_Version)
  VRX_EXPORT(Close_Session)
  VRX_EXPORT(Open_VRX5200_Ports)
  VRX_EXPORT(Get_VRX5200_EVM)
  VRX_EXPORT(InitVRX5200_EVM)
  VRX_EXPORT(Read_Register)
  VRX_EXPORT(Write_Register)
  VRX_EXPORT(Check_ADC_Busy)
  VRX_EXPORT(Get_Family_ID)
  VRX_EXPORT(Get_Firmware_version)
  VRX_EXPORT(Configure_VRX5200_ADC_Session)
  VRX_EXPORT(Start_ADC_to_DDR)
  VRX_EXPORT(Read_DDR_to_File)
  VRX_EXPORT(Configure_VRX5200_DAC_Session)
  VRX_EXPORT(Start_DDR_to_DAC)
  VRX_EXPORT(Write_DDR_from_Array)
  VRX_EXPORT(Write_DDR_from_File)
  VRX_EXPORT(Offset_BinRep)
  VRX_EXPORT(Twos_Complement)
  VRX_EXPORT(Load_Firmware)
#undef VRX_EXPORT
  // The simulated board's own functions (null in the library of attached boards).
  decltype(&VRXSim_Read_Playback) sim_read_playback = nullptr;
  decltype(&VRXSim_Set_Loopback) sim_set_loopback = nullptr;
  decltype(&VRXSim_Set_Signal) sim_set_signal = nullptr;
  decltype(&VRXSim_Set_Capture_Step) sim_set_capture_step = nullptr;
  decltype(&VRXSim_Set_Plugged) sim_set_plugged = nullptr;

  void* handle = nullptr;
  std::string path;

  // Opens libvrx5200sim (simulated) or libvrx5200 (attached boards): `explicit_path` when given,
  // else beside the tool (the build tree and the installed tree), else the system's search.
  bool open(bool simulated, const std::string& explicit_path, std::string& error);
};

// The serial keys of a discovery's comma-separated list, at most `count` of them.
std::vector<std::string> split_keys(const char* keys, int32_t count);

}  // namespace client
