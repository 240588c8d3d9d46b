/* A client of the installed library: discovers the simulated board and reads its identity. */
#include <stdio.h>

#include <vrx5200sim.h>

int main(void) {
  int32_t boards = 0, length = 0;
  char keys[901];
  uint8_t family = 0;
  if (VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length) != 0 || boards < 1) return 1;
  if (VRX5200BrdCtrl_Open_VRX5200_Ports(0, boards) != 0) return 1;
  if (VRX5200BrdCtrl_Get_Family_ID(&family) != 0) return 1;
  printf("installed library: board %s family 0x%02X\n", keys, family);
  return VRX5200BrdCtrl_Close_Session();
}
