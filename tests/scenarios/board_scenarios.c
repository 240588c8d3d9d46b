/* Board scenarios through the real library on a real USB stack: libvrx5200.so over libftdi1 and
 * libusb on the emulated bus (run-emulated), or vrx5200.dll over a driver DLL under Wine. Plain
 * C against the public header only, as a user's script would be.
 *
 *   board_scenarios [N]   discovery of N boards (default 1), then the last one opened and driven:
 *                         registers, a capture into an array and into a file, a pattern upload,
 *                         an FPGA load, and closing
 *   board_scenarios unplug
 *                         a capture read-back while the board is unplugged part-way (the bus
 *                         unplugs it): the read-back must fail, the probe must say so, and a new
 *                         discovery must no longer list the board
 *
 * Exit code 0 when every step did what it promises; each failure is printed. */
#ifndef _WIN32
#define _GNU_SOURCE /* RTLD_DEFAULT */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifndef _WIN32
#include <dlfcn.h>
#include <time.h>
#endif

#include "vrx5200_brdctrl.h"

static int failures = 0;

static void expect(int ok, const char* what, long got) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s (got %ld)\n", what, got);
    ++failures;
  }
}

#define EXPECT_CODE(call, want)                                                        \
  do {                                                                                 \
    const int32_t code_ = (call);                                                      \
    if (code_ != (want)) {                                                             \
      fprintf(stderr, "FAILED: %s returned %d (%s), expected %d\n", #call, (int)code_, \
              VRX5200_Result_Text(code_), (int)(want));                                \
      ++failures;                                                                      \
    }                                                                                  \
  } while (0)

enum { kCapture = 3 * 65536 };

static int discover(int32_t* boards, char* keys) {
  int32_t length = 0;
  const int32_t code = VRX5200BrdCtrl_Get_VRX5200_EVM(boards, keys, &length);
  if (code != 0) *boards = 0;
  return code;
}

static void open_adc_session(void) {
  ADC_Session_Params adc;
  memset(&adc, 0, sizeof adc);
  adc.Rate_Factor = 2;
  adc.Rate = 250e6;
  EXPECT_CODE(VRX5200BrdCtrl_Configure_VRX5200_ADC_Session(&adc), 0);
}

/* Samples of a capture are a sine from the ADC: not all equal, and within 16 bits signed. */
static void expect_signal(const uint16_t* s, long n, const char* what) {
  long i, changes = 0;
  for (i = 1; i < n; ++i) changes += s[i] != s[i - 1];
  expect(changes > n / 2, what, changes);
}

static void registers(void) {
  int32_t value = -1, status = -1;
  uint8_t family = 0, version = 0;
  EXPECT_CODE(VRX5200BrdCtrl_Write_Register(9, 0x5A, &status), 0);
  EXPECT_CODE(VRX5200BrdCtrl_Read_Register(9, &value), 0);
  expect(value == 0x5A, "register 9 reads back what was written", value);
  EXPECT_CODE(VRX5200BrdCtrl_Get_Family_ID(&family), 0);
  EXPECT_CODE(VRX5200BrdCtrl_Get_Firmware_version(&version), 0);
  EXPECT_CODE(VRX5200BrdCtrl_FTDI_DevStatus(), 0);
}

static void capture_to_array(void) {
  uint16_t* samples = (uint16_t*)calloc(kCapture, sizeof *samples);
  open_adc_session();
  EXPECT_CODE(VRX5200BrdCtrl_Read_from_ADC(kCapture, samples), 0);
  expect_signal(samples, kCapture, "array capture carries the ADC's signal");
  free(samples);
}

static void capture_to_file(const char* path) {
  uint16_t* copy = (uint16_t*)calloc(65536 + 14, sizeof *copy);
  int32_t lanes[1] = {1};
  int32_t this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1, calls = 0;
  FILE* f;
  long bytes = -1;
  open_adc_session();
  EXPECT_CODE(VRX5200BrdCtrl_Start_ADC_to_DDR(kCapture, NULL, 0, 0, 0), 0);
  while (more == 1 && calls++ < 16) {
    const int32_t code =
        VRX5200BrdCtrl_Read_DDR_to_File(path, NULL, copy, lanes, 1, NULL, NULL, 0, 10000,
                                        &this_call, &write_index, &status, &timeout, &more);
    if (code != 0) {
      expect(0, "file read-back", code);
      break;
    }
  }
  f = fopen(path, "rb");
  if (f != NULL) {
    fseek(f, 0, SEEK_END);
    bytes = ftell(f);
    fclose(f);
  }
  expect(bytes == 2L * kCapture, "capture file holds every sample", bytes);
  expect_signal(copy, 65536, "file capture carries the ADC's signal");
  remove(path);
  free(copy);
}

/* The emulated bus says what a board holds for playback (not on Windows, where the test driver
 * DLL exports the driver's functions only): the upload must have stored the pattern itself. The
 * upload returns once the bridge has taken its last bytes, while up to a FIFO of them (2 KiB,
 * 0.55 ms at the data ports' 30 MHz) is still on its way into the board: look a moment later. */
typedef int (*PlayedWords)(int, unsigned long long, unsigned long long, unsigned short*);
static void expect_played(int board, const uint16_t* pattern, long n) {
#ifndef _WIN32
  void* symbol = dlsym(RTLD_DEFAULT, "libusb_emulator_played_words");
  PlayedWords probe = NULL;
  unsigned short* held = (unsigned short*)calloc((size_t)n, sizeof *held);
  long i, wrong = 0;
  const struct timespec moment = {0, 5000000};
  nanosleep(&moment, NULL);
  if (symbol != NULL) memcpy(&probe, &symbol, sizeof probe); /* ISO C has no such cast */
  if (probe == NULL || held == NULL || probe(board, 0, (unsigned long long)n, held) != 0) {
    expect(0, "the emulated bus shows the board's playback memory", 0);
  } else {
    for (i = 0; i < n; ++i) wrong += held[i] != pattern[i];
    expect(wrong == 0, "the board holds the uploaded pattern (words wrong)", wrong);
  }
  free(held);
#else
  (void)board, (void)pattern, (void)n;
#endif
}

static void upload(int board) {
  enum { kWords = 150016 }; /* a valid pattern length: a multiple of 32 */
  uint16_t* pattern = (uint16_t*)malloc(kWords * sizeof *pattern);
  DAC_Session_Params dac;
  int32_t position = 0, done = 0;
  long i;
  for (i = 0; i < kWords; ++i) pattern[i] = (uint16_t)(i * 2654435761u >> 16);
  memset(&dac, 0, sizeof dac);
  dac.Rate = 100e6;
  dac.Rate_Factor_1 = 8;
  dac.Rate_Factor_2 = 1;
  dac.Rate_Divisor = 1;
  EXPECT_CODE(VRX5200BrdCtrl_Configure_VRX5200_DAC_Session(&dac), 0);
  EXPECT_CODE(VRX5200BrdCtrl_Write_DDR_from_Array(pattern, 0, 100000, &position, kWords, &done), 0);
  expect(done == 1, "the upload reports the pattern complete", done);
  expect_played(board, pattern, kWords);
  free(pattern);
}

static void fpga_load(const char* path) {
  FILE* f = fopen(path, "wb");
  unsigned x = 2463534242u;
  long i;
  if (f == NULL) {
    expect(0, "programming file written", 0);
    return;
  }
  for (i = 0; i < 65536; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    fputc((int)(x & 0xFF), f);
  }
  fclose(f);
  EXPECT_CODE(VRX5200BrdCtrl_Load_Firmware(path), VRX5200_RESULT_FPGA_CONFIGURED);
  remove(path);
  /* The JTAG port is set up again afterwards: the board still answers. */
  EXPECT_CODE(VRX5200BrdCtrl_FTDI_DevStatus(), 0);
}

static int all(int32_t wanted) {
  int32_t boards = 0, number = -1, count = 0, i;
  char keys[901] = "", expected[901] = "", key[16];
  EXPECT_CODE(discover(&boards, keys), 0);
  expect(boards == wanted, "boards found", boards);
  for (i = 1; i <= wanted; ++i) {
    snprintf(key, sizeof key, "EMU%05d,", (int)i);
    strcat(expected, key);
  }
  if (strcmp(keys, expected) != 0) {
    fprintf(stderr, "FAILED: key list \"%s\", expected \"%s\"\n", keys, expected);
    ++failures;
  }
  if (boards < 1) return 1;
  snprintf(key, sizeof key, "EMU%05d", (int)boards);
  EXPECT_CODE(VRX5200BrdCtrl_InitVRX5200_EVM(key, &number, &count), 0);
  expect(number == boards - 1, "the wanted key's board number", number);
  EXPECT_CODE(VRX5200BrdCtrl_Open_VRX5200_Ports(number, count), 0);
  registers();
  capture_to_array();
  capture_to_file("scenario_capture.bin");
  upload(boards);
  fpga_load("scenario_fpga.rbf");
  EXPECT_CODE(VRX5200BrdCtrl_Close_VRX_Ports(), 0);
  /* Opening again after closing: every port comes back. */
  EXPECT_CODE(VRX5200BrdCtrl_Open_VRX5200_Ports(0, count), 0);
  registers();
  EXPECT_CODE(VRX5200BrdCtrl_Close_Session(), 0);
  return failures != 0;
}

static int unplug(void) {
  int32_t boards = 0, samples_this_call = 0, write_index = 0, status = 0, timeout = 0, more = 1;
  int32_t code = 0, calls = 0;
  char keys[901];
  uint16_t* samples = (uint16_t*)calloc(kCapture, sizeof *samples);
  EXPECT_CODE(discover(&boards, keys), 0);
  if (boards < 1) return 1;
  EXPECT_CODE(VRX5200BrdCtrl_Open_VRX5200_Ports(0, boards), 0);
  open_adc_session();
  EXPECT_CODE(VRX5200BrdCtrl_Start_ADC_to_DDR(kCapture, NULL, 0, 0, 0), 0);
  while (more == 1 && code == 0 && calls++ < 16) {
    code = VRX5200BrdCtrl_Read_DDR_to_Array(samples, NULL, 3000, &samples_this_call, &write_index,
                                            &status, &timeout, &more);
  }
  expect(code != 0, "a read-back across the unplug fails", code);
  EXPECT_CODE(VRX5200BrdCtrl_FTDI_DevStatus(), 1);
  VRX5200BrdCtrl_Close_Session();
  EXPECT_CODE(discover(&boards, keys), 19);
  free(samples);
  return failures != 0;
}

int main(int argc, char** argv) {
  int result;
  if (argc > 1 && strcmp(argv[1], "unplug") == 0) {
    result = unplug();
  } else {
    result = all(argc > 1 ? atoi(argv[1]) : 1);
  }
  printf("%s\n", result == 0 ? "all scenarios passed" : "scenarios failed");
  return result;
}
