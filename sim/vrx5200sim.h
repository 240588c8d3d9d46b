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

/* Back to the machine the library starts with: one board with serial key "SIM00001", or boards
 * "SIM00001", "SIM00002", ... as many as the environment variable VRX5200_SIM_BOARDS says (1 to
 * 16). */
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
/* Loopback: wires the board's DAC output to its ADC input through a converter model. With On
 * non-zero every capture reads the playback, one pattern word per sample: after a playback
 * start, sample i of the k-th capture since then (k = 0, 1, ...) converts word (k * Step + i)
 * mod P of the played pattern, P its length taken down to a multiple of 4 words (the words from
 * the start offset up to the end address's burst) and Step the capture step
 * (VRXSim_Set_Capture_Step), so successive captures move on like a free-running DAC; before the
 * first playback start the DAC rests at mid-scale. A word stands for the value x (16-bit two's
 * complement, or offset binary after VRXSim_Set_Loopback_Format), u = x / 32768, and becomes
 *   Offset + Gain * 32768 * f(u) + noise, rounded (halves up), clipped to -32768 .. 32767,
 * Gain in ADC codes per DAC code, f(u) = u + sum over k = 2 .. Count + 1 of
 * h_k * (T_k(u) - T_k(0)), h_k = 10^(Harmonics_Dbc[k - 2] / 20), T_k the Chebyshev polynomials
 * of the first kind: a full-scale sine comes out with harmonic k at Harmonics_Dbc[k - 2] dBc and
 * its fundamental unchanged (h_2 - h_4 of full scale is added to its mean), mid-scale reads
 * Offset. Count is 0 to 4 (harmonics 2 to 5); a level of -INFINITY leaves its harmonic out. The
 * noise is Gaussian, Noise_Rms codes RMS, drawn from Seed, the capture and the sample index (a
 * capture reads the same codes however it is read back). On 0 turns the loopback off and uses
 * no other argument: the board's signal is then the one it had before. Returns 0, or 108 for a
 * board that does not exist or an argument out of range (nothing changes then). */
VRX5200_API int32_t VRXSim_Set_Loopback(int32_t Board, int32_t On, double Noise_Rms, double Gain,
                                        double Offset, const double* Harmonics_Dbc, int32_t Count,
                                        uint32_t Seed);
/* The loopback's curve from polynomial coefficients instead of harmonic levels:
 * f(u) = u + sum over k = 2 .. Count + 1 of Coefficients[k - 2] * u^k, Count 0 to 8. Keeps the
 * noise, gain, offset and seed; a later VRXSim_Set_Loopback that turns the loopback on sets the
 * curve from its harmonic levels again. Returns 0, or 108 (nothing changes). */
VRX5200_API int32_t VRXSim_Set_Loopback_Polynomial(int32_t Board, const double* Coefficients,
                                                   int32_t Count);
/* How the loopback reads the pattern words: 16-bit two's complement (Offset_Binary 0, the
 * default) or offset binary (non-zero: word 0x8000 is mid-scale). */
VRX5200_API int32_t VRXSim_Set_Loopback_Format(int32_t Board, int32_t Offset_Binary);
/* Copies Count pattern words from word First of the board's playback memory into Words. */
VRX5200_API int32_t VRXSim_Read_Playback(int32_t Board, uint32_t First, uint32_t Count,
                                         uint16_t* Words);
/* Number of playback starts the board has seen. */
VRX5200_API int32_t VRXSim_Playback_Starts(int32_t Board);

#ifdef __cplusplus
}
#endif

#endif /* VRX5200SIM_H */
