#include "client/results.h"

#include "vrx5200_brdctrl.h"

namespace client {

std::string hint_for(int32_t code) {
  switch (code) {
    case VRX5200_RESULT_NO_DEVICES:
    case VRX5200_RESULT_NO_BOARD:
      return "check the USB cable and power, or run with --sim for the simulated board";
    case VRX5200_RESULT_PORT_TIMEOUT:
      return "the board stopped answering: power-cycle it and load the FPGA again";
    case VRX5200_RESULT_BAD_CAPTURE_LENGTH:
      return "use a positive multiple of 32 samples";
    case VRX5200_RESULT_BAD_ADDRESS:
      return "use a pattern of 32 words or more whose length mod 32 is at most 3";
    case VRX5200_RESULT_FILE_OPEN_FAILED:
    case VRX5200_RESULT_PROGRAMMING_FILE:
    case VRX5200_RESULT_FILE_IO:
      return "check the file's path and permissions";
    case VRX5200_RESULT_CHAIN_FAILED:
      return "check the JTAG chain (cable, board power)";
    case VRX5200_RESULT_INVALID_ARGUMENT:
      return "check the command's arguments (--help)";
    default:
      return "";
  }
}

int exit_code_for(int32_t code) {
  switch (code) {
    case VRX5200_RESULT_FILE_OPEN_FAILED:
    case VRX5200_RESULT_PROGRAMMING_FILE:
    case VRX5200_RESULT_FILE_IO:
      return kExitFile;
    default:
      return kExitFailure;
  }
}

std::string failure_text(const std::string& what, int32_t code) {
  std::string message =
      what + " failed: result " + std::to_string(code) + " (" + VRX5200_Result_Text(code) + ")";
  const std::string hint = hint_for(code);
  if (!hint.empty()) message += "; " + hint;
  return message;
}

}  // namespace client
