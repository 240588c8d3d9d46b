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

/* Writes a programming file of n pseudo-random bytes (the simulated FPGA takes any stream). */
static int write_programming_file(const char* path, long n) {
  FILE* f = fopen(path, "wb");
  unsigned x = 2463534242u;
  long i;
  if (f == NULL) return 0;
  for (i = 0; i < n; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    fputc((int)(x & 0xFF), f);
  }
  return fclose(f) == 0;
}

/* Writes a text sample file: one period of a sine per 256 lines, n lines, one column. */
static int write_sample_file(const char* path, int n) {
  FILE* f = fopen(path, "w");
  int i;
  if (f == NULL) return 0;
  for (i = 0; i < n; ++i)
    fprintf(f, "%d\n", (int)lround(30000.0 * sin(6.283185307179586 * i / 256)));
  return fclose(f) == 0;
}

/* Converts the sample file to "./DAC_test.bin" and plays it: a DAC session, the playback start,
 * then the file uploaded block after block. */
static int play_sample_file(const char* path, int lines) {
  DAC_Session_Params dac = {0};
  int32_t lane_map[2] = {-1, 1}, multipliers[1] = {1}, done = 0, blocks = 0;
  int32_t converted = VRX5200BrdCtrl_Offset_BinRep(path, ",", ".", multipliers, lane_map, 2, 1);
  if (converted != lines) {
    fprintf(stderr, "conversion failed: %d\n", (int)converted);
    return 0;
  }
  printf("%s: %d lines converted to ./DAC_test.bin (offset binary)\n", path, (int)converted);
  dac.Rate = 100e6;
  dac.Rate_Factor_1 = 8;
  dac.Rate_Factor_2 = 1;
  dac.Rate_Divisor = 1;
  if (!check("DAC session", VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&dac))) return 0;
  if (!check("playback start", VRX5200BrdCtrl_Start_DDR_to_DAC((uint32_t)lines, 0))) return 0;
  while (done == 0) {
    if (!check("upload", VRX5200BrdCtrl_Write_DDR_from_File("./DAC_test.bin", 0, 0, &done)))
      return 0;
    ++blocks;
  }
  printf("pattern of %d words uploaded in %d block(s), playing\n", lines, (int)blocks);
  return 1;
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
  if (!write_programming_file("demo_fpga.rbf", 65536)) return 1;
  if (VRX5200BrdCtrl_Load_Firmware("demo_fpga.rbf") != VRX5200_RESULT_FPGA_CONFIGURED) {
    fprintf(stderr, "FPGA configuration failed\n");
    return 1;
  }
  printf("board 0 open, ports answering: %s\n",
         VRX5200BrdCtrl_FTDI_DevStatus() == 0 ? "yes" : "no");
  if (!check("family ID", VRX5200BrdCtrl_Get_Family_ID(&family))) return 1;
  if (!check("firmware version", VRX5200BrdCtrl_Get_Firmware_version(&firmware))) return 1;
  printf("family ID 0x%02X, firmware version 0x%02X\n", family, firmware);
  if (!capture_to_file("capture.bin", 1 << 20)) return 1;
  summarize("capture.bin");
  if (!write_sample_file("demo_samples.txt", 8192)) return 1;
  if (!play_sample_file("demo_samples.txt", 8192)) return 1;
  return check("closing", VRX5200BrdCtrl_Close_Session()) ? 0 : 1;
}
