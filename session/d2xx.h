/*
 * d2xx.h - the platform seam of the control library.
 *
 * The library reaches the USB bridge only through the D2XX driver functions declared here, and
 * the operating system only through platform_clock_ms and platform_sleep_ms. It defines none of
 * them: each build links one implementation (the vendor's driver with the OS clock, the open
 * libftdi1 adapter, or the simulated bench). Types, values and the calling convention are the
 * driver's own, so the library links against the vendor's driver unchanged.
 */
#ifndef VRX5200_D2XX_H
#define VRX5200_D2XX_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define FT_API __stdcall
#else
#define FT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
/* As <windows.h> has them (32 bits on every Windows target). */
typedef unsigned long DWORD;
typedef unsigned long ULONG;
#else
typedef uint32_t DWORD;
typedef uint32_t ULONG;
#endif
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef DWORD* LPDWORD;
typedef UCHAR* PUCHAR;
typedef void* PVOID;
typedef void* LPVOID;
typedef ULONG FT_STATUS;
typedef void* FT_HANDLE;

enum {
  FT_OK = 0,
  FT_INVALID_HANDLE = 1,
  FT_DEVICE_NOT_FOUND = 2,
  FT_DEVICE_NOT_OPENED = 3,
  FT_IO_ERROR = 4,
  FT_INSUFFICIENT_RESOURCES = 5,
  FT_INVALID_PARAMETER = 6,
  FT_INVALID_BAUD_RATE = 7,
  FT_OTHER_ERROR = 18
};

#define FT_OPEN_BY_SERIAL_NUMBER 1
#define FT_OPEN_BY_DESCRIPTION 2
#define FT_OPEN_BY_LOCATION 4

#define FT_PURGE_RX 1
#define FT_PURGE_TX 2

#define FT_BITMODE_RESET 0x00
#define FT_BITMODE_ASYNC_BITBANG 0x01
#define FT_BITMODE_MPSSE 0x02
#define FT_BITMODE_SYNC_BITBANG 0x04

/* Device-list entry flag: the port is open. */
#define FT_FLAGS_OPENED 1

FT_STATUS FT_API FT_CreateDeviceInfoList(LPDWORD lpdwNumDevs);
FT_STATUS FT_API FT_GetDeviceInfoDetail(DWORD dwIndex, LPDWORD lpdwFlags, LPDWORD lpdwType,
                                        LPDWORD lpdwID, LPDWORD lpdwLocId, LPVOID lpSerialNumber,
                                        LPVOID lpDescription, FT_HANDLE* pftHandle);
FT_STATUS FT_API FT_OpenEx(PVOID pArg1, DWORD Flags, FT_HANDLE* pHandle);
FT_STATUS FT_API FT_Close(FT_HANDLE ftHandle);
FT_STATUS FT_API FT_ResetDevice(FT_HANDLE ftHandle);
FT_STATUS FT_API FT_SetUSBParameters(FT_HANDLE ftHandle, ULONG ulInTransferSize,
                                     ULONG ulOutTransferSize);
FT_STATUS FT_API FT_SetEventNotification(FT_HANDLE ftHandle, DWORD Mask, PVOID Param);
FT_STATUS FT_API FT_SetChars(FT_HANDLE ftHandle, UCHAR EventChar, UCHAR EventCharEnabled,
                             UCHAR ErrorChar, UCHAR ErrorCharEnabled);
FT_STATUS FT_API FT_SetTimeouts(FT_HANDLE ftHandle, ULONG ReadTimeout, ULONG WriteTimeout);
FT_STATUS FT_API FT_SetLatencyTimer(FT_HANDLE ftHandle, UCHAR ucLatency);
FT_STATUS FT_API FT_Purge(FT_HANDLE ftHandle, ULONG Mask);
FT_STATUS FT_API FT_SetBitMode(FT_HANDLE ftHandle, UCHAR ucMask, UCHAR ucEnable);
FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE ftHandle, ULONG BaudRate);
FT_STATUS FT_API FT_Write(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToWrite,
                          LPDWORD lpBytesWritten);
FT_STATUS FT_API FT_Read(FT_HANDLE ftHandle, LPVOID lpBuffer, DWORD dwBytesToRead,
                         LPDWORD lpBytesReturned);
FT_STATUS FT_API FT_GetQueueStatus(FT_HANDLE ftHandle, DWORD* dwRxBytes);
FT_STATUS FT_API FT_GetBitMode(FT_HANDLE ftHandle, PUCHAR pucMode);
/* The per-handle status query of the library: one 32-bit value out (the modem status), a
 * failure status once the port is gone. */
FT_STATUS FT_API FT_GetModemStatus(FT_HANDLE ftHandle, ULONG* pulModemStatus);

/* Millisecond process clock (wraps after 49.7 days; callers subtract unsigned values). */
uint32_t platform_clock_ms(void);
/* Sleeps for ms milliseconds; 0 gives up the rest of the time slice. */
void platform_sleep_ms(uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif /* VRX5200_D2XX_H */
