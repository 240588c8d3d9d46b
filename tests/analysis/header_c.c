/* The public header is plain C: this file is compiled as C99, and the record sizes it sees are
 * compared with the sizes C++ sees (test_patterns.cpp). */
#include "vrx5200_analysis.h"

size_t vrx5200_analysis_c_sizes(size_t* sizes) {
  sizes[0] = sizeof(VRX5200WindowInfo);
  sizes[1] = sizeof(VRX5200ToneConfig);
  sizes[2] = sizeof(VRX5200ToneResult);
  sizes[3] = sizeof(VRX5200TwoToneConfig);
  sizes[4] = sizeof(VRX5200TwoToneResult);
  sizes[5] = sizeof(VRX5200FitConfig);
  sizes[6] = sizeof(VRX5200FitResult);
  sizes[7] = sizeof(VRX5200CodeDensityResult);
  sizes[8] = sizeof(VRX5200SignalConfig);
  sizes[9] = sizeof(VRX5200SignalResult);
  sizes[10] = sizeof(VRX5200ToneOptions);
  sizes[11] = sizeof(VRX5200ToneQuality);
  sizes[12] = sizeof(VRX5200LinearityResult);
  return 13;
}
