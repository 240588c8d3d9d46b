/*
 * vrx5200_analysis.h - measurement core of the VRX5200 tools: ADC capture analysis and DAC
 * pattern generation. It needs no board, and the board library does not need it.
 *
 * Quantities are those of IEEE Std 1241 (ADCs) and IEEE Std 1658 (DACs):
 *   - single tone: fundamental, harmonics 2..H with their aliased bins, SNR (dBc and dBFS), SINAD,
 *     SFDR with the worst spur named, THD, ENOB referred to full scale, noise floor and noise
 *     spectral density; the tone fitted and subtracted first, so that records between bins read
 *     true; warnings where a figure is withheld; an analysis band, named tones to identify or
 *     exclude, and averaging over records;
 *   - two tones: second- and third-order intermodulation products;
 *   - sine fit: three-parameter (known frequency) and four-parameter least squares;
 *   - code density of a ramp or sine input (detected), over histograms of several records: DNL,
 *     end-point and best-fit INL per code, missing codes;
 *   - coherent frequencies, and DAC test patterns as 16-bit words.
 *
 * Usage rules
 *   - Every function returns a result code (VRX5200_ANALYSIS_* below; 0 is success) and writes
 *     its answers through pointers. VRX5200Analysis_Result_Text() says what a code means. No
 *     function keeps any state between calls except in an analyzer the caller owns, and none
 *     throws, aborts or prints.
 *   - Full scale is declared, never inferred: every analysis takes the converter's bit count and
 *     code format. A full-scale sine (0 dBFS) has the amplitude 2^(bits-1) codes.
 *   - Samples are real. Integer samples (int16 or uint16 words) hold a code in their low `bits`
 *     bits (bits 1 to 16): two's complement codes are sign-extended from bit bits-1, offset-binary
 *     codes have 2^(bits-1) subtracted. Double samples are values in codes (bits 1 to 32); offset
 *     binary ones have 2^(bits-1) subtracted.
 *   - Result records are versioned: `version` is VRX5200_ANALYSIS_VERSION of the library that
 *     filled them, which VRX5200Analysis_Version() also returns, so that a client loading the
 *     library at run time can check the layout before passing records.
 *   - Analyzers are independent: one per thread, any number at once. An analyzer must not be
 *     used by two threads at the same time.
 *
 * Spectra. A record of n samples is multiplied by the window and transformed with a real FFT in
 * single precision (KissFFT, float: Debian's libkissfft, BSD licence); its rounding noise lies
 * about 137 dB below the power of what is transformed, and each bin's power is within about 2e-7
 * of the largest bin's. Single-tone analysis therefore transforms the residual, not the record:
 * the fundamental (and each harmonic that would leak through the window into the noise) is fitted
 * to the record in double precision and subtracted first (VRX5200_METHOD_FIT_SUBTRACT), so that
 * the rounding lies 137 dB below the noise and distortion, not below the tone. SNR, SINAD, THD
 * and SFDR of a tone, coherent or between bins, through any window, read within 0.1 dB of the
 * truth up to 110 dB SNR and beyond (noiseless doubles read about 300 dB); where the noise comes
 * within 17 dB of the arithmetic's floor the figures are withheld (VRX5200_WARN_PRECISION_LIMITED).
 * The windowed power spectrum itself (VRX5200Analysis_Power_Spectrum) is the record's, rounding
 * and all. Windowing, the fit, the spectrum's sums and every figure derived from them are in
 * double precision, and so are the sine fit and the code-density test (no transform there). The
 * power spectrum is one-sided in codes squared per bin, normalised so that its bins sum to the
 * record's power (Parseval): a tone of amplitude A contributes A^2/2 summed over its lobe, white
 * noise of variance s^2 contributes s^2 spread over the n/2 bins, whatever the window. A record
 * whose length (half its length when even) has a prime factor above 97 is transformed by
 * Bluestein's chirp convolution instead, at a few times the time and memory.
 *
 * The header is plain C (C99 and later) and C++.
 */
#ifndef VRX5200_ANALYSIS_H
#define VRX5200_ANALYSIS_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VRX5200_ANALYSIS_CALL __cdecl
#if defined(VRX5200_BUILDING_ANALYSIS)
#define VRX5200_ANALYSIS_API __declspec(dllexport)
#else
#define VRX5200_ANALYSIS_API
#endif
#else
#define VRX5200_ANALYSIS_CALL
#if defined(VRX5200_BUILDING_ANALYSIS)
#define VRX5200_ANALYSIS_API __attribute__((visibility("default")))
#else
#define VRX5200_ANALYSIS_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Layout version of the records below. */
#define VRX5200_ANALYSIS_VERSION 1

/* ---- Result codes ------------------------------------------------------------------------ */
#define VRX5200_ANALYSIS_OK 0
/* A pointer argument that is required is null. */
#define VRX5200_ANALYSIS_NULL_POINTER 1
/* The record is too short for the window (8 x (2 x lobe half-width + 1) samples at least), the
 * fit (16 samples) or the generator (2 words). */
#define VRX5200_ANALYSIS_TOO_FEW_SAMPLES 2
/* The bit count is below 1, above 32, or above 16 for 16-bit words. */
#define VRX5200_ANALYSIS_BAD_BITS 3
/* The code format is neither VRX5200_TWOS_COMPLEMENT nor VRX5200_OFFSET_BINARY. */
#define VRX5200_ANALYSIS_BAD_CODE_FORMAT 4
/* The window is not one of the VRX5200_WINDOW_ values. */
#define VRX5200_ANALYSIS_BAD_WINDOW 5
/* The sample rate is not a finite positive number of Hz (and not 0 for unknown). */
#define VRX5200_ANALYSIS_BAD_RATE 6
/* A given frequency is not finite or lies outside the band from 0 to half the sample rate. */
#define VRX5200_ANALYSIS_BAD_FREQUENCY 7
/* The highest harmonic order is below 2 or above VRX5200_MAX_HARMONICS. */
#define VRX5200_ANALYSIS_BAD_HARMONICS 8
/* The lobe half-width is negative or leaves no room in the spectrum. */
#define VRX5200_ANALYSIS_BAD_LOBE 9
/* The samples are all equal: there is no tone to measure. */
#define VRX5200_ANALYSIS_CONSTANT_INPUT 10
/* DC, the tones and their products cover the whole spectrum: no bin is left for the noise. */
#define VRX5200_ANALYSIS_NO_NOISE_BINS 11
/* The record's length differs from the length the analyzer was made for. */
#define VRX5200_ANALYSIS_LENGTH_MISMATCH 12
/* The record has a prime factor above 97 in a transform of 2^31 points or more. */
#define VRX5200_ANALYSIS_LENGTH_UNSUPPORTED 13
/* Memory for the transform or the histogram could not be had. */
#define VRX5200_ANALYSIS_OUT_OF_MEMORY 14
/* The four-parameter fit did not converge within its iteration limit. */
#define VRX5200_ANALYSIS_NOT_CONVERGED 15
/* The two tones were not found apart: their lobes overlap each other or the DC lobe. */
#define VRX5200_ANALYSIS_TONES_UNRESOLVED 16
/* The codes hit do not span the four codes the code-density test needs at least. */
#define VRX5200_ANALYSIS_CODES_NOT_COVERED 17
/* No prime number of cycles fits in the record below half its length. */
#define VRX5200_ANALYSIS_NO_COHERENT_FREQUENCY 18
/* The amplitude is not finite, or above +20 dBFS or below -300 dBFS. */
#define VRX5200_ANALYSIS_BAD_AMPLITUDE 19
/* A tone's cycle count is 0 or not below half the pattern length, or the tone list is empty or
 * longer than VRX5200_MAX_PATTERN_TONES. */
#define VRX5200_ANALYSIS_BAD_TONES 20
/* The signal kind is not one of the VRX5200_SIGNAL_ values. */
#define VRX5200_ANALYSIS_BAD_SIGNAL_KIND 21
/* The pattern file could not be created. */
#define VRX5200_ANALYSIS_FILE_OPEN_FAILED 22
/* The pattern file could not be written completely. */
#define VRX5200_ANALYSIS_FILE_WRITE_FAILED 23
/* The sample type is not one of the VRX5200_SAMPLES_ values, or not one this analysis takes. */
#define VRX5200_ANALYSIS_BAD_SAMPLE_TYPE 24
/* A double sample is not finite. */
#define VRX5200_ANALYSIS_NOT_FINITE 25
/* The phase choice of a multi-tone pattern is not one of the VRX5200_PHASES_ values. */
#define VRX5200_ANALYSIS_BAD_PHASES 26
/* The fit's kind is neither 3 nor 4 parameters. */
#define VRX5200_ANALYSIS_BAD_FIT_KIND 27
/* The pattern is longer than 2^32 words. */
#define VRX5200_ANALYSIS_TOO_MANY_SAMPLES 28
/* The thread count is not 0, 1 or 2. */
#define VRX5200_ANALYSIS_BAD_THREADS 29
/* A double sample lies more than 1024 full scales from zero: no code of the declared converter
 * (and its square would overflow the transform's single precision). */
#define VRX5200_ANALYSIS_OUT_OF_RANGE 30
/* The options are not of this library's layout, or name a method, band or tone it cannot take:
 * an unknown method or tone action, more than VRX5200_MAX_NAMED_TONES tones, a band that is not
 * 0 <= low < high <= n/2, or a given fundamental outside the band. */
#define VRX5200_ANALYSIS_BAD_OPTIONS 31
/* The histogram is neither a ramp's (even) nor a sine's (arcsine), or the shape given is not a
 * VRX5200_SHAPE_ value. */
#define VRX5200_ANALYSIS_UNKNOWN_SHAPE 32
/* A record added to an accumulator has another bit count, format or length than it was made for,
 * or the accumulator holds no record yet. */
#define VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH 33

/* ---- Constants ----------------------------------------------------------------------------- */
/* Sample types. */
#define VRX5200_SAMPLES_INT16 0
#define VRX5200_SAMPLES_UINT16 1
#define VRX5200_SAMPLES_DOUBLE 2
/* Code formats. */
#define VRX5200_TWOS_COMPLEMENT 0
#define VRX5200_OFFSET_BINARY 1
/* Windows (periodic, DFT-even). Main-lobe half-widths: 1, 2, 4 and 7 bins. */
#define VRX5200_WINDOW_RECTANGULAR 0 /* coherent captures */
#define VRX5200_WINDOW_HANN 1
#define VRX5200_WINDOW_BLACKMAN_HARRIS_4 2 /* 4 terms, side lobes -92 dB */
#define VRX5200_WINDOW_BLACKMAN_HARRIS_7 3 /* 7 terms, side lobes -180 dB */
/* Kinds of the worst spur. */
#define VRX5200_SPUR_OTHER 0
#define VRX5200_SPUR_HARMONIC 1
/* The most harmonic orders counted, and the most tones of a multi-tone pattern. */
#define VRX5200_MAX_HARMONICS 25
#define VRX5200_MAX_PATTERN_TONES 1024

/* ---- Windows ------------------------------------------------------------------------------ */
typedef struct VRX5200WindowInfo {
  uint32_t version;
  int32_t lobe_half_width_bins; /* the main lobe: bins -K..+K around a tone are the tone's */
  double coherent_gain;         /* mean of the window: a tone's amplitude scale */
  double enbw_bins;             /* equivalent noise bandwidth, n sum(w^2) / (sum w)^2 */
  double peak_side_lobe_db;     /* highest side lobe relative to the main lobe's peak */
} VRX5200WindowInfo;

/* Fills *info for window (VRX5200_WINDOW_). */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Window_Info(int32_t window, VRX5200WindowInfo* info);

/* ---- Analyzers ---------------------------------------------------------------------------- */
/* An analyzer holds the transform's plan and work memory for one record length, so that
 * repeated analyses of that length cost only the transform. Its work memory is 4 bytes per
 * sample: the windowed record in single precision, transformed in place, whose memory then holds
 * the power spectrum (twice an int16 capture's own size). Lengths transformed by Bluestein's way
 * take about 16 bytes per sample when even and about 34 when odd, other odd lengths about 28 (a
 * real record of odd length cannot be paired into half as many complex points). A single-tone
 * analysis adds no memory in proportion to the record beyond its analyzer. */
typedef struct VRX5200Analyzer VRX5200Analyzer;

/* Makes an analyzer for records of n samples (n >= 16) into *analyzer. threads: 1 runs every
 * analysis on the caller's thread; 2 shares the transform and the windowing with a second thread
 * for records of 128 Ki samples or more; 0 chooses 2 where the machine has two cores or more.
 * The second thread lives as long as the analyzer and takes parts of each pass as they come, so
 * that a machine busy elsewhere costs little (a pass kept waiting for it leaves the next ones to
 * the caller's thread for a while). The figures do not depend on it: sums are taken over the
 * same parts on one thread or two. Calls without an analyzer choose as 0 does. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Create(uint64_t n, int32_t threads, VRX5200Analyzer** analyzer);
/* Frees an analyzer (null is ignored). */
VRX5200_ANALYSIS_API void VRX5200_ANALYSIS_CALL VRX5200Analysis_Destroy(VRX5200Analyzer* analyzer);

/* ---- Single tone (IEEE Std 1241) ---------------------------------------------------------- */
typedef struct VRX5200ToneConfig {
  int32_t bits;              /* converter resolution: 1..16 for words, 1..32 for doubles */
  int32_t code_format;       /* VRX5200_TWOS_COMPLEMENT or VRX5200_OFFSET_BINARY */
  int32_t window;            /* VRX5200_WINDOW_ */
  int32_t harmonics;         /* highest harmonic order counted, 2..VRX5200_MAX_HARMONICS */
  int32_t lobe_half_width;   /* bins each side of a tone that are the tone's; 0: the window's */
  int32_t reserved;          /* 0 */
  double rate_hz;            /* sample rate; 0 when unknown (no Hz figures then) */
  double fundamental_cycles; /* the fundamental in cycles per record (its bin, fractional
                                allowed); 0: the largest component above DC */
} VRX5200ToneConfig;

/* One tone of a spectrum: the fundamental, a harmonic or an intermodulation product. */
typedef struct VRX5200ToneRecord {
  int32_t order;       /* harmonic order (1: fundamental) or product order (2, 3) */
  int32_t counted;     /* 1 when its lobe is clear of DC and of the tones before it */
  uint64_t bin;        /* the bin nearest its aliased frequency */
  double cycles;       /* its aliased frequency in cycles per record (0 .. n/2) */
  double frequency_hz; /* the same in Hz; 0 when the rate is unknown */
  double power_dbfs;   /* its lobe's power relative to a full-scale sine (0 when not counted) */
  double level_dbc;    /* relative to the fundamental (two tones: to both tones' total) */
} VRX5200ToneRecord;

typedef struct VRX5200ToneResult {
  uint32_t version;
  int32_t harmonics_counted; /* harmonics clear of DC, the fundamental and each other */
  uint64_t samples;
  int32_t window;
  int32_t lobe_half_width; /* the half-width used */
  double enbw_bins;        /* the window's equivalent noise bandwidth */
  double coherent_gain;    /* the window's coherent gain */
  double fundamental_dbfs; /* the fundamental's power relative to a full-scale sine */
  double fundamental_amplitude_codes;
  double snr_db;            /* signal / noise (no DC, no harmonics); +inf without noise */
  double sinad_db;          /* signal / (noise + harmonics) */
  double thd_dbc;           /* harmonics / signal; 0 when thd_measured is 0 */
  int32_t thd_measured;     /* 0 when no harmonic is clear of the other tones */
  int32_t worst_spur_kind;  /* VRX5200_SPUR_HARMONIC or VRX5200_SPUR_OTHER */
  int32_t worst_spur_order; /* its harmonic order, 0 for other spurs */
  int32_t reserved;
  uint64_t worst_spur_bin; /* the largest bin outside DC and the fundamental */
  double worst_spur_cycles;
  double worst_spur_hz;    /* 0 when the rate is unknown */
  double worst_spur_dbfs;  /* the spur's lobe power */
  double sfdr_dbc;         /* signal / worst spur */
  double enob_bits;        /* log2(2^bits / (sqrt(noise + harmonics) sqrt(12))) */
  double noise_dbfs;       /* noise power (the band but DC) relative to a full-scale sine */
  double noise_floor_dbfs; /* the average noise bin, same reference */
  double nsd_dbfs_hz;      /* noise spectral density; 0 when the rate is unknown */
  double dc_codes;         /* the record's mean in codes */
  uint64_t noise_bins;     /* bins the noise was averaged over */
  VRX5200ToneRecord tones[VRX5200_MAX_HARMONICS]; /* [0] fundamental, [h-1] harmonic h */
} VRX5200ToneResult;

/* Single-tone analysis of count samples (type VRX5200_SAMPLES_): VRX5200Analysis_Single_Tone_Ex
 * without options and without the quality record (its warnings are not returned, but the figures
 * they withhold are NaN here too). analyzer may be null (a plan is made for the call); else it
 * must be made for count samples. power, when not null, receives the record's windowed power
 * spectrum (count/2 + 1 bins, codes squared per bin, see above). The fundamental is the given
 * frequency or the largest component above DC, fitted to the record and subtracted before the
 * window; a tone's power is its fitted power plus the residual's bins in its lobe (on a coherent
 * record, the sum of its lobe). The noise is the average residual bin outside DC, the
 * fundamental and the counted harmonics, times the bins of the whole band but DC; the worst spur
 * is the largest of the counted harmonics and of the residual's bins outside DC, the fundamental
 * and the harmonics, its power the sum of its lobe. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Single_Tone(
    VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type, uint64_t count,
    VRX5200ToneConfig config, VRX5200ToneResult* result, double* power);

/* The windowed power spectrum alone (count/2 + 1 bins into power), by the rules above;
 * config.harmonics and config.fundamental_cycles are not used. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Power_Spectrum(VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type,
                               uint64_t count, VRX5200ToneConfig config, double* power);

/* ---- Single tone with warnings, options and averaging -------------------------------------- */
/* Methods. VRX5200_METHOD_FIT_SUBTRACT, the default: the fundamental (and each harmonic whose
 * leakage through the window would reach the noise) is fitted to the whole record in double
 * precision and subtracted before the window and the transform, so that what is transformed is
 * the residual: its leakage cannot be counted as noise nor named a spur, whatever the window and
 * whether the record is coherent or not, and the single-precision transform's rounding lies
 * about 137 dB below the residual instead of below the tone. A subtracted tone's power is its
 * fitted power plus the residual's bins in its lobe (and the fit's correlation with the
 * residual through the window): on a coherent record exactly the lobe sum of the record's own
 * spectrum, which VRX5200_METHOD_SPECTRUM gives (the windowed spectrum of the record as it is,
 * as VRX5200Analysis_Single_Tone did before the fit; exact for coherent records only). */
/* In options only: the core's choice, VRX5200_METHOD_FIT_SUBTRACT. */
#define VRX5200_METHOD_DEFAULT 0
#define VRX5200_METHOD_SPECTRUM 1
#define VRX5200_METHOD_FIT_SUBTRACT 2

/* Warnings: bit flags of a figure that is withheld or a record that is not what it was declared.
 * Each has a stable short code (VRX5200Analysis_Warning_Code) and a sentence
 * (VRX5200Analysis_Warning_Text). A figure the analysis cannot stand behind is NaN in the result
 * record, and a warning says why; figures not named by a warning stand as measured. */
/* More samples sit on a rail code (the lowest or highest) than a sine that overdrives it by one
 * code would put there: the record is clipped, and its harmonics and noise are the clipping's. */
#define VRX5200_WARN_CLIPPED (1u << 0)
/* Samples lie outside the declared bit count: words whose bits above the code are neither its
 * sign extension (zero for offset binary) nor the first word's, doubles beyond full scale. The
 * data may be wider than declared; figures are referred to the declared full scale. */
#define VRX5200_WARN_OUT_OF_RANGE (1u << 1)
/* No component stands out of the noise (the largest bin is not 20 dB above what noise alone
 * reaches), or none near the given fundamental: every figure but the noise's is NaN. */
#define VRX5200_WARN_NO_TONE (1u << 2)
/* The largest component lies inside the DC lobe: it cannot be told from DC and drift, and no
 * other bin is taken in its place; every figure but the noise's is NaN. */
#define VRX5200_WARN_TONE_IN_DC_LOBE (1u << 3)
/* A harmonic up to the highest order counted falls into the lobe of DC or of the fundamental
 * (the cycle count shares factors with the length): its power cannot be told apart, so SINAD,
 * THD, SFDR and ENOB are NaN. */
#define VRX5200_WARN_HARMONIC_ON_TONE (1u << 4)
/* Leakage of a component that was not subtracted (a spur, a harmonic or a named tone) through
 * the window's side lobes is more than 2% of the noise: SNR, SINAD and ENOB would read low and
 * are NaN. A window with lower side lobes measures them. */
#define VRX5200_WARN_LEAKAGE_LIMITED (1u << 5)
/* The noise lies within 17 dB of the arithmetic's floor (the transform's rounding, or double
 * precision's under the fit): SNR, SINAD, ENOB and SFDR are NaN; the truth is at least the
 * floor's figure (VRX5200ToneQuality.floor_dbfs). The harmonics' lobes within 17 dB of their
 * share of the floor: THD is NaN. */
#define VRX5200_WARN_PRECISION_LIMITED (1u << 6)
/* ENOB came out above the declared bits by more than 0.1 bit: the noise is below an ideal
 * quantizer's (a tone with few distinct phases, or too few bits declared): ENOB is NaN. */
#define VRX5200_WARN_ENOB_ABOVE_BITS (1u << 7)
/* Records averaged differ: the fundamental moved by more than half a bin between them. */
#define VRX5200_WARN_RECORDS_DIFFER (1u << 8)
/* A named tone falls into the lobe of DC or of the fundamental, or outside the band: it is not
 * measured. */
#define VRX5200_WARN_NAMED_TONE_HIDDEN (1u << 9)
/* Code density: fewer than 16 samples per code on average; DNL and INL scatter by more than
 * 0.25 LSB from counting alone. */
#define VRX5200_WARN_FEW_COUNTS (1u << 10)
/* The samples are not evenly spaced in time: the lane list they were kept by reorders the lanes
 * or keeps them unevenly, so every spectral figure (levels, noise, spurs, frequencies) is
 * withheld. The core cannot see this in a record; the front ends set it from the capture's lane
 * list (or a recording that says so) and withhold the figures themselves. Code-density figures
 * do not depend on the spacing and stand. */
#define VRX5200_WARN_UNEVEN_SAMPLES (1u << 11)
/* All the flags above. */
#define VRX5200_WARN_ALL 0xFFFu

/* The most named tones an analysis takes. */
#define VRX5200_MAX_NAMED_TONES 16
/* What a named tone's lobe is for. */
#define VRX5200_TONE_IDENTIFY 0 /* measured and named; its bins stay in the noise and the spurs */
#define VRX5200_TONE_EXCLUDE 1  /* measured and named; its bins leave the noise and the spurs */

typedef struct VRX5200NamedTone {
  double cycles;    /* its frequency in cycles per record (aliased into 0..n/2 by the analysis) */
  int32_t action;   /* VRX5200_TONE_IDENTIFY or VRX5200_TONE_EXCLUDE */
  int32_t reserved; /* 0 */
} VRX5200NamedTone;

/* What VRX5200Analysis_Single_Tone_Ex takes beside VRX5200ToneConfig; all zero is the default. */
typedef struct VRX5200ToneOptions {
  uint32_t version;        /* VRX5200_ANALYSIS_VERSION */
  int32_t method;          /* VRX5200_METHOD_ (0: the default) */
  double band_low_cycles;  /* the analysis band in cycles per record (bins): the fundamental, */
  double band_high_cycles; /* the counted harmonics, the noise and the spurs lie within it;
                              both 0: the whole band from DC to n/2 */
  uint32_t named_count;    /* named tones in named[] */
  uint32_t reserved;       /* 0 */
  VRX5200NamedTone named[VRX5200_MAX_NAMED_TONES];
} VRX5200ToneOptions;

/* What the figures of a VRX5200ToneResult rest on. */
typedef struct VRX5200ToneQuality {
  uint32_t version;
  uint32_t warnings;            /* VRX5200_WARN_ flags */
  int32_t method;               /* VRX5200_METHOD_SPECTRUM or VRX5200_METHOD_FIT_SUBTRACT */
  int32_t harmonics_subtracted; /* harmonics fitted and subtracted beside the fundamental */
  uint64_t records;             /* records the figures average (1 but for an averager) */
  uint64_t clipped_samples;     /* samples on a rail code */
  uint64_t out_of_range_samples;
  double snr_dbfs;            /* a full-scale sine's power over the noise: SNR referred to full
                                 scale (snr_db is referred to the fundamental, in dBc) */
  double fit_amplitude_codes; /* the fitted fundamental: amplitude cos(2 pi cycles i / n + phase)
                                 + offset, i from 0 (NaN when nothing was fitted) */
  double fit_cycles;
  double fit_phase_rad;
  double fit_offset_codes;
  double floor_dbfs;   /* the arithmetic's floor as a noise power re full scale */
  double leakage_dbfs; /* leakage of components not subtracted, counted as noise (estimate) */
  double band_low_cycles, band_high_cycles; /* the band used */
  uint64_t band_bins;                       /* bins in it outside the DC lobe */
  int32_t worst_spur_named; /* 1 + index of the named tone the worst spur lies in, else 0 */
  uint32_t named_count;
  /* The named tones in the order given: counted 1 when measured (clear of DC, the fundamental
   * and the band's ends), power_dbfs the sum of its lobe, level_dbc against the fundamental. */
  VRX5200ToneRecord named[VRX5200_MAX_NAMED_TONES];
} VRX5200ToneQuality;

/* Single-tone analysis as VRX5200Analysis_Single_Tone (which is this with options null and
 * quality null), and more: options (null: the defaults) choose the method, the band and named
 * tones; quality (may be null) receives the warnings and what the figures rest on. Figures that
 * are withheld are NaN (see the warnings). Frequencies in Hz are NaN when the rate is unknown
 * (0), where VRX5200ToneResult has 0 as before.
 * The fundamental: config.fundamental_cycles when not 0 (searched for within the lobe around it,
 * and refined there: a given frequency names the tone, not its exact place; NO_TONE when none is
 * there), else the largest component above DC in the band. Its frequency, amplitude and phase
 * are fitted to the whole record. power, when not null, receives the windowed spectrum of the
 * record as it is (as VRX5200Analysis_Power_Spectrum gives it), at the cost of one more
 * transform. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Single_Tone_Ex(
    VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type, uint64_t count,
    const VRX5200ToneConfig* config, const VRX5200ToneOptions* options, VRX5200ToneResult* result,
    VRX5200ToneQuality* quality, double* power);

/* Averaging of power spectra over records of one length (IEEE Std 1241 averaging of the noise
 * floor): each record added is fitted and its residual transformed as one analysis would, and
 * its residual spectrum, its tones' fitted powers and its warnings are summed; the result is the
 * analysis of their averages (noise floor and spurs averaged: their scatter falls as the square
 * root of the records). An averager owns its transform: one per thread. */
typedef struct VRX5200ToneAverager VRX5200ToneAverager;

/* Makes an averager for records of n samples analysed with config and options (copied; options
 * may be null). keep_spectrum 1 keeps the average of the records' windowed spectra as well
 * (8 more bytes per sample), for VRX5200Analysis_Average_Result's power. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Average_Create(
    uint64_t n, const VRX5200ToneConfig* config, const VRX5200ToneOptions* options,
    int32_t keep_spectrum, VRX5200ToneAverager** averager);
/* Adds one record of n samples (ACCUMULATOR_MISMATCH for another length). A refused record
 * (constant, not finite, ...) is not added and changes nothing. Records after the first look for
 * the first one's fundamental (when none was given); one where it moved by more than half a bin
 * sets VRX5200_WARN_RECORDS_DIFFER, one without a tone VRX5200_WARN_NO_TONE for the average. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Average_Add(
    VRX5200ToneAverager* averager, const void* samples, int32_t sample_type, uint64_t count);
/* The analysis of the records added so far (ACCUMULATOR_MISMATCH when there is none; more may be
 * added after); quality may be null. power (may be null; BAD_OPTIONS unless the averager keeps
 * the spectrum) receives the average windowed spectrum of the records, n/2 + 1 bins. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Average_Result(VRX5200ToneAverager* averager, VRX5200ToneResult* result,
                               VRX5200ToneQuality* quality, double* power);
/* Frees an averager (null is ignored). */
VRX5200_ANALYSIS_API void VRX5200_ANALYSIS_CALL
VRX5200Analysis_Average_Destroy(VRX5200ToneAverager* averager);

/* ---- Two tones ------------------------------------------------------------------------------ */
typedef struct VRX5200TwoToneConfig {
  int32_t bits;
  int32_t code_format;
  int32_t window;
  int32_t lobe_half_width; /* 0: the window's */
  double rate_hz;          /* 0 when unknown */
  double tone1_cycles;     /* the two tones in cycles per record; both 0: the two largest */
  double tone2_cycles;
} VRX5200TwoToneConfig;

typedef struct VRX5200TwoToneResult {
  uint32_t version;
  int32_t lobe_half_width;
  uint64_t samples;
  VRX5200ToneRecord tones[2]; /* the lower and the higher tone; level_dbc against their sum */
  /* Products, with f1 < f2: [0] f2-f1, [1] f1+f2 (order 2); [2] 2f1-f2, [3] 2f2-f1,
   * [4] 2f1+f2, [5] 2f2+f1 (order 3). level_dbc is against both tones' total power. */
  VRX5200ToneRecord products[6];
  double imd2_dbc;       /* counted order-2 products / both tones (IEEE Std 1241) */
  double imd3_dbc;       /* counted order-3 products / both tones */
  int32_t imd2_measured; /* 0 when no order-2 product is clear of the tones */
  int32_t imd3_measured;
  double noise_floor_dbfs; /* the average bin outside DC, tones and products */
} VRX5200TwoToneResult;

/* Two-tone analysis: the tones' powers and the intermodulation products' powers, each the sum
 * of its lobe, with aliased frequencies. The tones are the given ones, or the largest component
 * above DC and the largest outside its lobe (the record is taken to hold two tones: a single
 * tone's second "tone" is its largest spur). A product is counted when its lobe is clear of DC,
 * the tones and the products counted before it. analyzer and the rules of the spectrum are as
 * for VRX5200Analysis_Single_Tone. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Two_Tone(VRX5200Analyzer* analyzer, const void* samples, int32_t sample_type,
                         uint64_t count, VRX5200TwoToneConfig config, VRX5200TwoToneResult* result);

/* ---- Sine fit (IEEE Std 1241 three- and four-parameter) ---------------------------------------
 */
typedef struct VRX5200FitConfig {
  int32_t bits;
  int32_t code_format;
  int32_t parameters;      /* 3: known frequency; 4: frequency fitted too */
  int32_t max_iterations;  /* four-parameter iterations allowed; 0: 50 */
  double rate_hz;          /* 0 when unknown */
  double frequency_cycles; /* cycles per record: the frequency (3), or the start (4; 0: from the
                              spectrum's largest component) */
} VRX5200FitConfig;

typedef struct VRX5200FitResult {
  uint32_t version;
  int32_t iterations;
  uint64_t samples;
  double amplitude_codes; /* model: amplitude cos(2 pi frequency_cycles i / n + phase) + offset */
  double frequency_cycles;
  double frequency_hz; /* 0 when the rate is unknown */
  double phase_rad;    /* at sample 0, in (-pi, pi] */
  double offset_codes;
  double residual_rms_codes;
  double sinad_db;  /* (amplitude / sqrt 2) / residual RMS; +inf for a zero residual */
  double enob_bits; /* log2(2^bits / (residual RMS sqrt(12))) */
} VRX5200FitResult;

/* Least-squares sine fit in double precision over the centred sample index. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Sine_Fit(const void* samples, int32_t sample_type, uint64_t count,
                         VRX5200FitConfig config, VRX5200FitResult* result);

/* ---- Code density of a sine input (ramps too: VRX5200Analysis_Linearity) ------------------ */
typedef struct VRX5200CodeDensityResult {
  uint32_t version;
  int32_t bits;
  uint64_t samples;
  uint32_t first_code;    /* lowest and highest codes hit (offset-binary order, 0..2^bits-1): */
  uint32_t last_code;     /* DNL is measured for the codes between them, INL for their upper
                             transitions */
  uint32_t missing_codes; /* codes between them never hit (DNL -1) */
  uint32_t reserved;
  double dnl_min_lsb, dnl_max_lsb;
  double inl_min_lsb, inl_max_lsb;
} VRX5200CodeDensityResult;

/* Code-density (histogram) test of a sine input (IEEE Std 1241): int16 or uint16 words of a
 * sine that reaches or overdrives both ends of the codes it covers, its phases spread evenly (a
 * coherent sine, cycles and length without common factors). The transition levels follow from
 * the cumulative histogram through the sine's arcsine law; widths are scaled by the average code
 * width between the first and last transitions (endpoint fit). dnl and inl, when not null, have
 * 2^bits entries indexed by code in offset-binary order: dnl[k] for the codes inside, inl[k] at
 * the transition into code k; entries outside are 0. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Code_Density(
    const void* samples, int32_t sample_type, uint64_t count, int32_t bits, int32_t code_format,
    double* dnl, double* inl, VRX5200CodeDensityResult* result);

/* ---- Linearity from ramps and sines: histograms accumulated over records ---------------------
 */
/* The input's shape, which gives the transition levels from the cumulative histogram CH (M
 * samples): a ramp (or triangle) spends equal time in equal input widths, T[k] = CH[k-1] / M; a
 * sine follows the arcsine law, T[k] = -cos(pi CH[k-1] / M). Either may overdrive both ends: the
 * end codes then hold the overdrive and are not measured. */
#define VRX5200_SHAPE_AUTO 0 /* the shape whose transition levels lie nearer a straight line */
#define VRX5200_SHAPE_SINE 1
#define VRX5200_SHAPE_RAMP 2

/* A histogram of codes (offset-binary order, 0..2^bits-1) summed over records of int16 or uint16
 * words, which may come from several files or captures. One per thread. */
typedef struct VRX5200Histogram VRX5200Histogram;

typedef struct VRX5200LinearityResult {
  uint32_t version;
  int32_t bits;
  uint64_t samples;
  int32_t shape;          /* the shape used: VRX5200_SHAPE_SINE or VRX5200_SHAPE_RAMP */
  uint32_t warnings;      /* VRX5200_WARN_OUT_OF_RANGE, VRX5200_WARN_FEW_COUNTS */
  uint32_t first_code;    /* lowest and highest codes hit (they hold any overdrive): DNL is */
  uint32_t last_code;     /* measured for the codes between them, INL for their transitions */
  uint32_t missing_codes; /* codes between them never hit (DNL -1) */
  uint32_t reserved;
  uint64_t out_of_range_samples;   /* words whose bits above the code were neither its sign
                                      extension (zero for offset binary) nor the first word's */
  double dnl_min_lsb, dnl_max_lsb; /* against the average width of the codes measured */
  double inl_end_point_min_lsb, inl_end_point_max_lsb; /* against the line through the first
                                                          and last transitions */
  double inl_best_fit_min_lsb, inl_best_fit_max_lsb;   /* against the least-squares line
                                                          through all transitions */
  double sine_fit_rms_lsb; /* RMS best-fit INL if the input were a sine, and a ramp: the */
  double ramp_fit_rms_lsb; /* shape detected is the smaller, by a factor of 2 at least */
} VRX5200LinearityResult;

/* Makes an empty histogram for codes of `bits` bits (1..16) in code_format. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL
VRX5200Analysis_Histogram_Create(int32_t bits, int32_t code_format, VRX5200Histogram** histogram);
/* Adds count words (VRX5200_SAMPLES_INT16 or _UINT16; doubles are BAD_SAMPLE_TYPE), read as
 * VRX5200Analysis_Single_Tone reads them. A refused call adds nothing. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Histogram_Add(
    VRX5200Histogram* histogram, const void* samples, int32_t sample_type, uint64_t count);
/* The counts (2^bits entries; may be null) and the samples added (may be null). */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Histogram_Counts(
    const VRX5200Histogram* histogram, uint64_t* counts, uint64_t* samples);
/* Code-density test (IEEE Std 1241) of the histogram for the shape given (VRX5200_SHAPE_AUTO:
 * detected; UNKNOWN_SHAPE when neither shape's transitions lie within 2 LSB or 1% of the codes
 * of a straight line, or both do within a factor of 2: give the shape then). dnl, inl_end_point
 * and inl_best_fit, when not null, have 2^bits entries indexed by code (offset-binary order):
 * dnl[k] for the codes measured, the INLs at the transition into code k; entries outside are 0.
 * CODES_NOT_COVERED below four codes. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Linearity(
    const VRX5200Histogram* histogram, int32_t shape, double* dnl, double* inl_end_point,
    double* inl_best_fit, VRX5200LinearityResult* result);
/* Frees a histogram (null is ignored). */
VRX5200_ANALYSIS_API void VRX5200_ANALYSIS_CALL
VRX5200Analysis_Histogram_Destroy(VRX5200Histogram* histogram);

/* ---- Coherent frequency ------------------------------------------------------------------------
 */
/* The frequency nearest wanted_hz with a prime number of cycles in n samples that has no common
 * factor with n (so every sample falls on its own phase): *cycles and *frequency_hz. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Coherent_Frequency(
    double rate_hz, uint64_t n, double wanted_hz, uint64_t* cycles, double* frequency_hz);

/* ---- DAC patterns (IEEE Std 1658) --------------------------------------------------------------
 */
#define VRX5200_SIGNAL_TONE 0
#define VRX5200_SIGNAL_MULTITONE 1
#define VRX5200_SIGNAL_RAMP 2
#define VRX5200_SIGNAL_NOISE 3
/* Phases of a multi-tone pattern, for a low crest factor. */
#define VRX5200_PHASES_SCHROEDER 0 /* -pi k (k - 1) / K, k = 1..K */
#define VRX5200_PHASES_NEWMAN 1    /* pi (k - 1)^2 / K */

typedef struct VRX5200SignalConfig {
  int32_t kind;                /* VRX5200_SIGNAL_ */
  int32_t bits;                /* DAC resolution, 1..16 */
  int32_t code_format;         /* VRX5200_TWOS_COMPLEMENT or VRX5200_OFFSET_BINARY */
  int32_t phases;              /* multi-tone: VRX5200_PHASES_ */
  double amplitude_dbfs;       /* tone: its amplitude; multi-tone: the pattern's peak; ramp: its
                                  half-span; noise: its RMS, as a sine of that amplitude's RMS */
  double phase_rad;            /* tone: phase at the first word */
  uint64_t cycles;             /* tone: cycles per pattern; ramp: ramps per pattern */
  const uint64_t* tone_cycles; /* multi-tone: each tone's cycles per pattern */
  uint32_t tone_count;
  uint32_t reserved;
  uint64_t seed; /* noise: the generator's seed (the same seed, the same pattern) */
} VRX5200SignalConfig;

typedef struct VRX5200SignalResult {
  uint32_t version;
  uint32_t reserved;
  uint64_t words;
  uint64_t clipped;  /* samples beyond the codes, set to the end code */
  double peak_codes; /* largest |value| written */
  double rms_codes;
  double crest_factor_db; /* peak / RMS */
  double tone_dbfs;       /* tone and multi-tone: each tone's amplitude re full scale */
} VRX5200SignalResult;

/* Writes a pattern of n 16-bit words into words. A word holds its code in its low `bits` bits
 * the way the board's pattern files do: a two's complement code sign-extended to 16 bits, an
 * offset-binary code as 0..2^bits-1. Values are rounded to the nearest code. result may be
 * null. Tones are coherent with the pattern: a whole number of cycles in n words. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Generate(
    VRX5200SignalConfig config, uint16_t* words, uint64_t n, VRX5200SignalResult* result);

/* The same pattern written to the file path as a binary pattern file: the words little-endian,
 * low byte first, as the board's pattern upload reads them. The file is written whole or not at
 * all: the words go to a temporary file beside it (".NAME.XXXXXXXXXXXX.tmp"), renamed over path
 * only once complete; a refusal or a failure leaves a file already at path as it was and no
 * temporary behind. A path that exists and is not a regular file (/dev/stdout, a named pipe) is
 * written in place; a failed write there returns VRX5200_ANALYSIS_FILE_WRITE_FAILED as well.
 * result is filled only on success. */
VRX5200_ANALYSIS_API int32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Generate_File(
    VRX5200SignalConfig config, const char* path, uint64_t n, VRX5200SignalResult* result);

/* ---- Texts and version ------------------------------------------------------------------------
 */
/* One sentence saying what a result code means ("unknown result code" for others). */
VRX5200_ANALYSIS_API const char* VRX5200_ANALYSIS_CALL VRX5200Analysis_Result_Text(int32_t code);
/* A warning flag's stable short code ("clipped", "out_of_range", "no_tone", "tone_in_dc_lobe",
 * "harmonic_on_tone", "leakage_limited", "precision_limited", "enob_above_bits",
 * "records_differ", "named_tone_hidden", "few_counts", "uneven_samples"; "unknown" for
 * anything but one flag), and one sentence saying what it means and which figures it withholds
 * ("unknown warning"). */
VRX5200_ANALYSIS_API const char* VRX5200_ANALYSIS_CALL VRX5200Analysis_Warning_Code(uint32_t flag);
VRX5200_ANALYSIS_API const char* VRX5200_ANALYSIS_CALL VRX5200Analysis_Warning_Text(uint32_t flag);
/* VRX5200_ANALYSIS_VERSION of the library itself. */
VRX5200_ANALYSIS_API uint32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Version(void);

#ifdef __cplusplus
}
#endif
#endif
