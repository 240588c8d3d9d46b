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
    default:
      return "unknown result code";
  }
}

VRX5200_ANALYSIS_API uint32_t VRX5200_ANALYSIS_CALL VRX5200Analysis_Version(void) {
  return VRX5200_ANALYSIS_VERSION;
}

}  // extern "C"
