# Cross build for 32-bit x86 Windows with mingw-w64 (kernel image and control tool).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(HCT_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
