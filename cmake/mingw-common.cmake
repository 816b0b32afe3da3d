# The part of the mingw-w64 cross builds that both architectures share; the toolchain files set
# CMAKE_SYSTEM_PROCESSOR and HCT_MINGW_TRIPLE and include this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${HCT_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${HCT_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${HCT_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${HCT_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${HCT_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(HCT_MINGW_OBJDUMP ${HCT_MINGW_TRIPLE}-objdump)
set(HCT_MINGW_NM ${HCT_MINGW_TRIPLE}-nm)

# Headers and libraries come from the mingw-w64 sysroot only, never from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${HCT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
