/* A client of the installed measurement core: plans a transform and reads a window's figures. */
#include <stdio.h>

#include <vrx5200_analysis.h>

int main(void) {
  VRX5200Analyzer* analyzer = NULL;
  VRX5200WindowInfo info;
  if (VRX5200Analysis_Create(1u << 17, 2, &analyzer) != 0) return 1;
  VRX5200Analysis_Destroy(analyzer);
  if (VRX5200Analysis_Window_Info(VRX5200_WINDOW_HANN, &info) != 0) return 1;
  printf("installed analysis library: Hann window ENBW %.2f bins\n", info.enbw_bins);
  return info.enbw_bins > 1.49 && info.enbw_bins < 1.51 ? 0 : 1;
}
