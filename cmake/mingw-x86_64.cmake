# Cross build for x86_64 Windows with mingw-w64 (kernel image and control tool).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(HCT_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
