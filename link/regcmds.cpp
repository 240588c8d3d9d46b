// Register, status and identity commands: one short frame each over the command link.
#include "link/cmdlink.h"
#include "link/registers.h"
#include "session/state.h"

namespace vrx {
namespace {

// Sends `n` bytes of the command buffer on the selected board's command link. On success
// returns 0 and the reply byte at `answer`; on failure the caller's outputs stay untouched.
int32_t command(uint32_t n, uint32_t answer, uint8_t& reply) {
  const int32_t result = board_exchange(g_command_buffer, n, g_reply_buffer);
  if (result == 0) reply = g_reply_buffer[answer];
  return result;
}

// A read command whose reply becomes the status byte and the caller's value. Without a board it
// returns 0 and writes nothing, whatever the output argument is.
int32_t read_to_status(uint8_t address, int32_t* out) {
  BoardRecord* board = selected_board();
  if (board == nullptr) return VRX5200_RESULT_OK;
  if (out == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  put_read(g_command_buffer, 0, address);
  uint8_t reply = 0;
  const int32_t result = command(reg::kReadCommandSize, 1, reply);
  if (result == 0) board->status_byte = *out = reply;
  return result;
}

// A write command whose reply byte `answer` becomes the status byte and the caller's status.
int32_t write_to_status(uint8_t address, uint8_t data, uint32_t answer, int32_t* out) {
  BoardRecord* board = selected_board();
  put_write(g_command_buffer, 0, address, data);
  uint8_t reply = 0;
  const int32_t result = command(reg::kWriteCommandSize, answer, reply);
  if (result == 0) board->status_byte = *out = reply;
  return result;
}

int32_t read_identity(uint8_t address, uint8_t* out) {
  if (selected_board() == nullptr) return VRX5200_RESULT_NO_SESSION;
  if (out == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  put_read(g_command_buffer, 0, address);
  uint8_t reply = 0;
  const int32_t result = command(reg::kReadCommandSize, 1, reply);
  if (result == 0) *out = reply;
  return result;
}

}  // namespace
}  // namespace vrx

using namespace vrx;

extern "C" {

// Each export answers "no board" as its table has it before it looks at its arguments.

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Read_Register(uint8_t Address, int32_t* Value) {
  return read_to_status(Address, Value);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_Register(uint8_t Address, uint8_t Data,
                                                               int32_t* Status) {
  if (selected_board() == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (Status == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  // Bit 4 is set in the first byte only; the repeated address goes out unchanged.
  return write_to_status(Address, Data, 1, Status);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Write_Config2(uint8_t Data, int32_t* Status) {
  if (selected_board() == nullptr) return VRX5200_RESULT_OK;
  if (Status == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  // The board answers this write in the reply byte of its closing 0x00.
  return write_to_status(reg::kCapture, Data, 3, Status);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Check_ADC_Busy(int32_t* Busy) {
  return read_to_status(reg::kCapture, Busy);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Deassert_Capture(int32_t* Status) {
  if (selected_board() == nullptr) return VRX5200_RESULT_NO_BOARD;
  if (Status == nullptr) return VRX5200_RESULT_INVALID_ARGUMENT;
  return write_to_status(reg::kCapture, 0x00, 1, Status);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_Family_ID(uint8_t* Family_ID) {
  return read_identity(reg::kFamilyId, Family_ID);
}

VRX5200_API int32_t VRX5200_CALL VRX5200BrdCtrl_Get_Firmware_version(uint8_t* Version) {
  return read_identity(reg::kFirmware, Version);
}

}  // extern "C"
