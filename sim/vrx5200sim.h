/*
 * vrx5200sim.h - the simulated bench's own functions in the vrx5200sim library.
 *
 * The vrx5200sim shared library is the control library running on a simulated machine: its
 * VRX5200BrdCtrl_ functions behave as on a real board, and these VRXSim_ functions set up the
 * simulated machine and look at what the simulated board received. Plain C.
 */
#ifndef VRX5200SIM_H
#define VRX5200SIM_H

#include <stdint.h>

#include "vrx5200_brdctrl.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Back to the machine the library starts with: one board with serial key "SIM00001". */
VRX5200_API int32_t VRXSim_Reset(void);
/* Removes every device: discovery then finds an empty device list. */
VRX5200_API int32_t VRXSim_Remove_All(void);
/* Adds a board with the given 8-character serial key; returns its number on the bench. */
VRX5200_API int32_t VRXSim_Add_Board(const char* Key);
/* Unplugs (Plugged 0) or plugs back in (Plugged 1) bench board Board. */
VRX5200_API int32_t VRXSim_Set_Plugged(int32_t Board, int32_t Plugged);
/* The simulated machine's millisecond clock. */
VRX5200_API uint32_t VRXSim_Clock_Ms(void);
/* Sets the board's ADC signal: a coherent sine of Cycles periods per 65,536 samples with the given
 * amplitude and Gaussian noise (RMS), in 16-bit two's complement codes, from a seeded generator. */
VRX5200_API int32_t VRXSim_Set_Signal(int32_t Board, uint32_t Cycles, double Amplitude,
                                      double Noise_Rms, uint32_t Seed);
/* How many samples the signal moves on from one capture to the next (default 4099; 0 makes
 * every capture of the synthetic signal the same). */
VRX5200_API int32_t VRXSim_Set_Capture_Step(int32_t Board, uint32_t Step);
/* Copies Count pattern words from word First of the board's playback memory into Words. */
VRX5200_API int32_t VRXSim_Read_Playback(int32_t Board, uint32_t First, uint32_t Count,
                                         uint16_t* Words);
/* Number of playback starts the board has seen. */
VRX5200_API int32_t VRXSim_Playback_Starts(int32_t Board);

#ifdef __cplusplus
}
#endif

#endif /* VRX5200SIM_H */
