# Cross build for 32-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-i686); the programs run
# under Wine (tests/wine-run.sh) where the host executes 32-bit programs.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VRX5200_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
