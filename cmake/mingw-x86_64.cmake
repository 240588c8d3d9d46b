# Cross build for 64-bit Windows with MinGW-w64 (Debian's g++-mingw-w64-x86-64); the programs run
# under wine64 (tests/wine-run.sh).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VRX5200_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
