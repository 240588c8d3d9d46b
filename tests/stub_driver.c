/* A driver with no devices, written against the seam header alone: proves that the control
 * library links against any implementation of the D2XX functions and the two services. */
#include <stdio.h>

#include "include/vrx5200_brdctrl.h"
#include "session/d2xx.h"

static uint32_t now_ms;
uint32_t platform_clock_ms(void) {
  return now_ms;
}
void platform_sleep_ms(uint32_t ms) {
  now_ms += ms;
}

FT_STATUS FT_API FT_CreateDeviceInfoList(LPDWORD n) {
  *n = 0;
  return FT_OK;
}
FT_STATUS FT_API FT_GetDeviceInfoDetail(DWORD i, LPDWORD f, LPDWORD t, LPDWORD id, LPDWORD loc,
                                        LPVOID sn, LPVOID d, FT_HANDLE* h) {
  (void)i, (void)f, (void)t, (void)id, (void)loc, (void)sn, (void)d, (void)h;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API FT_OpenEx(PVOID a, DWORD f, FT_HANDLE* h) {
  (void)a, (void)f, (void)h;
  return FT_DEVICE_NOT_FOUND;
}
FT_STATUS FT_API FT_Close(FT_HANDLE h) {
  (void)h;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_ResetDevice(FT_HANDLE h) {
  (void)h;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetUSBParameters(FT_HANDLE h, ULONG i, ULONG o) {
  (void)h, (void)i, (void)o;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE h, DWORD m, PVOID p) {
  (void)h, (void)m, (void)p;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetChars(FT_HANDLE h, UCHAR a, UCHAR b, UCHAR c, UCHAR d) {
  (void)h, (void)a, (void)b, (void)c, (void)d;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetTimeouts(FT_HANDLE h, ULONG r, ULONG w) {
  (void)h, (void)r, (void)w;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE h, UCHAR l) {
  (void)h, (void)l;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_Purge(FT_HANDLE h, ULONG m) {
  (void)h, (void)m;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetBitMode(FT_HANDLE h, UCHAR m, UCHAR e) {
  (void)h, (void)m, (void)e;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE h, ULONG b) {
  (void)h, (void)b;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_Write(FT_HANDLE h, LPVOID b, DWORD n, LPDWORD w) {
  (void)h, (void)b, (void)n;
  *w = 0;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_Read(FT_HANDLE h, LPVOID b, DWORD n, LPDWORD r) {
  (void)h, (void)b, (void)n;
  *r = 0;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE h, DWORD* n) {
  (void)h;
  *n = 0;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_GetBitMode(FT_HANDLE h, PUCHAR m) {
  (void)h;
  *m = 0;
  return FT_INVALID_HANDLE;
}
FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE h, ULONG* s) {
  (void)h;
  *s = 0;
  return FT_INVALID_HANDLE;
}

int main(void) {
  int32_t boards = -1, length = -1;
  char keys[16];
  int failures = 0;
  if (VRX5200BrdCtrl_Get_VRX5200_EVM(&boards, keys, &length) != VRX5200_RESULT_NO_DEVICES)
    ++failures;
  /* No board was found: there is none to open, whatever count the caller passes. */
  if (VRX5200BrdCtrl_Open_VRX5200_Ports(0, 1) != VRX5200_RESULT_NO_BOARD) ++failures;
  if (VRX5200BrdCtrl_Clear_Buffer() != VRX5200_RESULT_NO_BOARD) ++failures;
  printf("%d passed, %d failed\n", 3 - failures, failures);
  return failures != 0;
}
