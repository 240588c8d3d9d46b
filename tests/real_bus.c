/* The library on this machine's USB bus through its real driver. With no bridge attached (as on
 * a build machine), discovery must report an empty device list (19) and nothing else. */
#include <stdio.h>

#include "vrx5200_brdctrl.h"

int main(void) {
  int32_t boards = -1, length = -1;
  char keys[901];
  const int32_t r = VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length);
  if (r == 0) {
    printf("%d board(s) attached: %s\n", (int)boards, keys);
    return 0;
  }
  printf("discovery: %d (%s)\n", (int)r, VRX5200_Result_Text(r));
  return r == VRX5200_RESULT_NO_DEVICES ? 0 : 1;
}
