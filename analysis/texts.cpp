// What each result code means, and the library's record layout version.
#include "vrx5200_analysis.h"

extern "C" {

VRX5200_ANALYSIS_API const char* VRX5200_ANALYSIS_CALL VRX5200Analysis_Result_Text(int32_t code) {
  switch (code) {
    case VRX5200_ANALYSIS_OK:
      return "success";
    case VRX5200_ANALYSIS_NULL_POINTER:
      return "a required pointer argument is null";
    case VRX5200_ANALYSIS_TOO_FEW_SAMPLES:
      return "the record is too short for the window, the fit or the pattern";
    case VRX5200_ANALYSIS_BAD_BITS:
      return "the bit count is below 1, above 32, or above 16 for 16-bit words";
    case VRX5200_ANALYSIS_BAD_CODE_FORMAT:
      return "the code format is neither two's complement nor offset binary";
    case VRX5200_ANALYSIS_BAD_WINDOW:
      return "the window is not a known window";
    case VRX5200_ANALYSIS_BAD_RATE:
      return "the sample rate is not a finite positive number of Hz (0 for unknown)";
    case VRX5200_ANALYSIS_BAD_FREQUENCY:
      return "a given frequency is not finite or lies outside the band from DC to half the "
             "sample rate";
    case VRX5200_ANALYSIS_BAD_HARMONICS:
      return "the highest harmonic order is below 2 or above 25";
    case VRX5200_ANALYSIS_BAD_LOBE:
      return "the lobe half-width is negative or leaves no room in the spectrum";
    case VRX5200_ANALYSIS_CONSTANT_INPUT:
      return "the samples are all equal: there is no tone to measure";
    case VRX5200_ANALYSIS_NO_NOISE_BINS:
      return "DC, the tones and their products cover the whole spectrum: no bin is left for noise";
    case VRX5200_ANALYSIS_LENGTH_MISMATCH:
      return "the record's length differs from the length the analyzer was made for";
    case VRX5200_ANALYSIS_LENGTH_UNSUPPORTED:
      return "the record has a prime factor above 97 in a transform of 2^31 points or more";
    case VRX5200_ANALYSIS_OUT_OF_MEMORY:
      return "memory for the analysis could not be had";
    case VRX5200_ANALYSIS_NOT_CONVERGED:
      return "the four-parameter sine fit did not converge within its iteration limit";
    case VRX5200_ANALYSIS_TONES_UNRESOLVED:
      return "the two tones were not found apart: their lobes overlap each other or the DC lobe";
    case VRX5200_ANALYSIS_CODES_NOT_COVERED:
      return "the codes hit do not span the four codes the code-density test needs at least";
    case VRX5200_ANALYSIS_NO_COHERENT_FREQUENCY:
      return "no prime number of cycles fits in the record below half its length";
    case VRX5200_ANALYSIS_BAD_AMPLITUDE:
      return "the amplitude is not finite, or above +20 dBFS or below -300 dBFS";
    case VRX5200_ANALYSIS_BAD_TONES:
      return "a tone's cycle count is 0 or not below half the pattern length, or the tone list "
             "is empty or too long";
    case VRX5200_ANALYSIS_BAD_SIGNAL_KIND:
      return "the signal kind is not a known kind";
    case VRX5200_ANALYSIS_FILE_OPEN_FAILED:
      return "the pattern file could not be created";
    case VRX5200_ANALYSIS_FILE_WRITE_FAILED:
      return "the pattern file could not be written completely";
    case VRX5200_ANALYSIS_BAD_SAMPLE_TYPE:
      return "the sample type is not int16, uint16 or double, or not one this analysis takes";
    case VRX5200_ANALYSIS_NOT_FINITE:
      return "a sample is not a finite number";
    case VRX5200_ANALYSIS_BAD_PHASES:
      return "the multi-tone phase choice is not a known one";
    case VRX5200_ANALYSIS_BAD_FIT_KIND:
      return "the sine fit takes 3 or 4 parameters";
    case VRX5200_ANALYSIS_TOO_MANY_SAMPLES:
      return "the pattern is longer than 2^32 words";
    case VRX5200_ANALYSIS_BAD_THREADS:
      return "the thread count is not 0 (automatic), 1 or 2";
    case VRX5200_ANALYSIS_OUT_OF_RANGE:
      return "a sample lies more than 1024 full scales from zero: no code of the declared "
             "converter";
    case VRX5200_ANALYSIS_BAD_OPTIONS:
      return "the options are of another layout, or name an unknown method or tone action, too "
             "many tones, a band that is not within DC to half the samples, or a fundamental "
             "outside the band";
    case VRX5200_ANALYSIS_UNKNOWN_SHAPE:
      return "the histogram is neither a ramp's nor a sine's, or the shape given is not known";
    case VRX5200_ANALYSIS_ACCUMULATOR_MISMATCH:
      return "the record's bit count, format or length differs from the accumulator's, or the "
             "accumulator holds no record yet";
    default:
      return "unknown result code";
  }
}

namespace {

struct WarningText {
  uint32_t flag;
  const char* code;
  const char* text;
};

// The codes are part of the interface (front ends print them and scripts match them): never
// change one, add new ones.
const WarningText kWarnings[] = {
    {VRX5200_WARN_CLIPPED, "clipped",
     "more samples sit on a rail code than a sine touching it would put there: the record is "
     "clipped, and its harmonics and noise are the clipping's"},
    {VRX5200_WARN_OUT_OF_RANGE, "out_of_range",
     "samples lie outside the declared bit count: the data may be wider than declared, and "
     "figures are referred to the declared full scale"},
    {VRX5200_WARN_NO_TONE, "no_tone",
     "no tone stands out of the noise (or none near the given fundamental): only the noise is "
     "measured"},
    {VRX5200_WARN_TONE_IN_DC_LOBE, "tone_in_dc_lobe",
     "the largest component lies inside the DC lobe, where it cannot be told from DC and drift: "
     "only the noise is measured"},
    {VRX5200_WARN_HARMONIC_ON_TONE, "harmonic_on_tone",
     "a harmonic folds onto DC or the fundamental (the cycle count shares factors with the "
     "length): SINAD, THD, SFDR and ENOB are withheld; choose a cycle count prime to the length"},
    {VRX5200_WARN_LEAKAGE_LIMITED, "leakage_limited",
     "leakage of a spur or harmonic through the window's side lobes reaches the noise: SNR, "
     "SINAD and ENOB are withheld; a window with lower side lobes measures them"},
    {VRX5200_WARN_PRECISION_LIMITED, "precision_limited",
     "the noise lies near the arithmetic's floor: SNR, SINAD, SFDR, ENOB and the noise figures "
     "are withheld (THD too when the harmonics lie there); the truth is at least the floor's "
     "figure"},
    {VRX5200_WARN_ENOB_ABOVE_BITS, "enob_above_bits",
     "ENOB came out above the declared bits: the noise is below an ideal quantizer's (a tone "
     "with few distinct phases, or too few bits declared); ENOB is withheld"},
    {VRX5200_WARN_RECORDS_DIFFER, "records_differ",
     "the records averaged differ: the fundamental moved by more than half a bin between them"},
    {VRX5200_WARN_NAMED_TONE_HIDDEN, "named_tone_hidden",
     "a named tone falls into the lobe of DC or of the fundamental, or outside the band: it is "
     "not measured"},
    {VRX5200_WARN_FEW_COUNTS, "few_counts",
     "fewer than 16 samples per code: DNL and INL scatter by more than a quarter LSB from "
     "counting alone"},
    {VRX5200_WARN_UNEVEN_SAMPLES, "uneven_samples",
     "the samples are not evenly spaced in time (the lane list reorders lanes or keeps them "
     "unevenly): every spectral figure is withheld"},
};

const WarningText* warning(uint32_t flag) {
  for (const WarningText& w : kWarnings) {
    if (w.flag == flag) return &w;
  }
  return nullptr;
}

}  // namespace

VRX5200_ANALYSIS_API const char* VRX5200_ANALYSIS_CALL VRX5200Analysis_Warning_Code(uint32_t flag) {
  const WarningText* w = warning(flag);
  return w != nullptr ? w->code : "unknown";
}

VRX5200_ANALYSIS_API const char* VRX5200_ANALYSIS_CALL VRX5200Analysis_Warning_Text(uint32_t flag) {
  const WarningText* w = warning(flag);
  return w != nullptr ? w->text : "unknown warning";
}

VRX5200_ANALYSIS_API uint32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Version(void) {
  return VRX5200_ANALYSIS_VERSION;
}

}  // extern "C"
