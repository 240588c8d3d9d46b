#include "session/state.h"

#include <cstddef>

#include "session/ports.h"

namespace vrx {

LibraryState g_state;
uint8_t g_command_buffer[kBufferSize];
uint8_t g_reply_buffer[kBufferSize];
uint8_t g_port_buffer[2][kBufferSize];

// The parameter records are part of the binary interface: same layout on every target.
static_assert(sizeof(ADC_Session_Params) == 32);
static_assert(offsetof(ADC_Session_Params, Rate_Factor) == 0);
static_assert(offsetof(ADC_Session_Params, Pattern_Count) == 4);
static_assert(offsetof(ADC_Session_Params, Step_Select) == 8);
static_assert(offsetof(ADC_Session_Params, Half_Rate_Mode) == 12);
static_assert(offsetof(ADC_Session_Params, Rate) == 16);
static_assert(offsetof(ADC_Session_Params, Pattern_Match) == 24);
static_assert(offsetof(ADC_Session_Params, Register_1_Value) == 25);
static_assert(offsetof(ADC_Session_Params, Register_6_Value) == 26);
static_assert(offsetof(ADC_Session_Params, Register_7_Value) == 27);
static_assert(sizeof(DAC_Session_Params) == 32);
static_assert(offsetof(DAC_Session_Params, Rate) == 0);
static_assert(offsetof(DAC_Session_Params, Rate_Factor_1) == 8);
static_assert(offsetof(DAC_Session_Params, Rate_Factor_2) == 12);
static_assert(offsetof(DAC_Session_Params, Rate_Divisor) == 16);
static_assert(offsetof(DAC_Session_Params, Spare_Word) == 20);
static_assert(offsetof(DAC_Session_Params, Control_Byte_1) == 24);
static_assert(offsetof(DAC_Session_Params, Control_Byte_2) == 25);

}  // namespace vrx

using namespace vrx;

extern "C" {

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_DLL_Version(int32_t* Major, int32_t* Minor) {
  if (Major == nullptr || Minor == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  *Major = 0;
  *Minor = 1;
  return VRX5200_RESULT_OK;
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Close_Session(void) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_OK;
  const int32_t result = close_board_ports(*board);
  g_state.selected = -1;
  return result;
}

}  // extern "C"
