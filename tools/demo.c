/* The demo: the library's main job on the simulated board, through the public interface only. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "vrx5200_brdctrl.h"

static int check(const char* what, int32_t code) {
  if (code != VRX5200_RESULT_OK) {
    fprintf(stderr, "%s failed: %d (%s)\n", what, (int)code, VRX5200_Result_Text(code));
  }
  return code == VRX5200_RESULT_OK;
}

/* Captures n samples into a file with the file read-back, block after block. */
static int capture_to_file(const char* path, int32_t n) {
  ADC_Session_Params adc = {0};
  int32_t lanes[1] = {1};
  int32_t this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1;
  uint16_t* copy = (uint16_t*)malloc((65536 + 14) * sizeof(uint16_t));
  int ok = copy != NULL;
  adc.Rate_Factor = 2;
  adc.Rate = 250e6;
  ok = ok && check("ADC session", VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc));
  ok = ok && check("capture start", VRX5200BrdCtrl_Start_ADC_to_DDR(n, NULL, 0, 0, 0));
  while (ok && more == 1) {
    ok = check("read-back",
               VRX5200BrdCtrl_Read_DDR_to_File(path, NULL, copy, lanes, 1, NULL, NULL, 0, 10000,
                                               &this_call, &write_index, &status, &timeout, &more));
  }
  free(copy);
  return ok;
}

/* Prints the number of samples, min, max, mean and RMS of a capture file (two's complement). */
static void summarize(const char* path) {
  FILE* f = fopen(path, "rb");
  unsigned char b[2];
  long count = 0;
  int lo = 32767, hi = -32768;
  double sum = 0, squares = 0;
  if (f == NULL) return;
  while (fread(b, 1, 2, f) == 2) {
    const int v = (int16_t)(uint16_t)(b[0] | b[1] << 8);
    lo = v < lo ? v : lo;
    hi = v > hi ? v : hi;
    sum += v;
    squares += (double)v * v;
    ++count;
  }
  fclose(f);
  if (count == 0) return;
  printf("%s: %ld samples, min %d, max %d, mean %.2f, RMS %.1f\n", path, count, lo, hi, sum / count,
         sqrt(squares / count));
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
  if (!capture_to_file("capture.bin", 1 << 20)) return 1;
  summarize("capture.bin");
  return check("closing", VRX5200BrdCtrl_Close_Session()) ? 0 : 1;
}
