/* The demo: the library's main job on the simulated board, through the public interface only. */
#include <stdio.h>

#include "vrx5200_brdctrl.h"

static int check(const char* what, int32_t code) {
  if (code != VRX5200_RESULT_OK) {
    fprintf(stderr, "%s failed: %d (%s)\n", what, (int)code, VRX5200_Result_Text(code));
  }
  return code == VRX5200_RESULT_OK;
}

int main(void) {
  int32_t major = 0, minor = 0, boards = 0, length = 0;
  char keys[901];
  uint8_t family = 0, firmware = 0;
  VRX5200BrdCtrl_Get_DLL_Version(&major, &minor);
  printf("vrx5200 control library %d.%d\n", (int)major, (int)minor);
  if (!check("discovery", VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length))) return 1;
  printf("boards found: %d (%s)\n", (int)boards, keys);
  if (boards < 1) return 1;
  if (!check("opening board 0", VRX5200BrdCtrl_Open_VRX5200_Ports(0, boards))) return 1;
  printf("board 0 open, ports answering: %s\n",
         VRX5200BrdCtrl_FTDI_DevStatus() == 0 ? "yes" : "no");
  if (!check("family ID", VRX5200BrdCtrl_Get_Family_ID(&family))) return 1;
  if (!check("firmware version", VRX5200BrdCtrl_Get_Firmware_version(&firmware))) return 1;
  printf("family ID 0x%02X, firmware version 0x%02X\n", family, firmware);
  return check("closing", VRX5200BrdCtrl_Close_Session()) ? 0 : 1;
}
