# Windows targets, cross-built with mingw-w64 (presets win-x86 and win-x64):
#   hct.sys     the kernel image: the driver sources and the report functions against the DDK headers
#   hctctl.exe  the console tool that installs the filter below a mouse and switches the extra scroll
# each with version information (and hctctl.exe with its manifest) from cmake/version.rc.in and
# cmake/hctctl.manifest.in, and the CTest checks that inspect both images
# (scripts/check-windows-image.sh).

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(HCT_WIN_ARCH x64)
  set(HCT_KERNEL_ENTRY DriverEntry)
  set(HCT_KERNEL_IMAGE_BASE 0x140000000)
  # 64-bit images keep their unwind tables: they become .pdata/.xdata, which the kernel needs to
  # walk the stack through the driver's frames.
  set(HCT_KERNEL_ARCH_FLAGS)
else()
  set(HCT_WIN_ARCH x86)
  # stdcall decoration: any other spelling only warns, and ld then points the entry at the start
  # of .text, which is why the link runs with --fatal-warnings.
  set(HCT_KERNEL_ENTRY _DriverEntry@8)
  set(HCT_KERNEL_IMAGE_BASE 0x10000)
  # No x87/SSE state may be touched without saving it in the kernel; no DWARF unwind tables, which
  # nothing in a 32-bit kernel reads.
  set(HCT_KERNEL_ARCH_FLAGS -march=i686 -mgeneral-regs-only -fno-asynchronous-unwind-tables)
endif()

# The gcc driver links the usual Win32 libraries by itself for user-mode programs; the kernel image
# must never see them.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

enable_testing()

# ---------------------------------------------------------------------------------------------
# Version resources (and hctctl.exe's manifest), from the one version of the project() line.
# windres writes no time stamp into the resource object, so the images stay reproducible.
# ---------------------------------------------------------------------------------------------
foreach(part MAJOR MINOR PATCH TWEAK)
  if(PROJECT_VERSION_${part} STREQUAL "")
    set(PROJECT_VERSION_${part} 0)
  endif()
endforeach()
# hct_resource(TARGET FILE DESCRIPTION FILETYPE FILESUBTYPE [EXTRA-RC-LINE]): compiles a VERSIONINFO
# for TARGET's image FILE and links it in.
function(hct_resource target file description filetype filesubtype)
  set(HCT_RC_FILE ${file})
  set(HCT_RC_NAME ${target})
  set(HCT_RC_DESCRIPTION ${description})
  set(HCT_RC_FILETYPE ${filetype})
  set(HCT_RC_FILESUBTYPE ${filesubtype})
  set(HCT_RC_EXTRA "${ARGN}")
  set(rc ${CMAKE_BINARY_DIR}/${target}_version.rc)
  set(obj ${CMAKE_BINARY_DIR}/${target}_version.o)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  add_custom_command(OUTPUT ${obj}
                     COMMAND ${CMAKE_RC_COMPILER} -O coff -I ${CMAKE_BINARY_DIR} -i ${rc} -o ${obj}
                     DEPENDS ${rc} ${CMAKE_BINARY_DIR}/hctctl.manifest
                     COMMENT "windres ${target}_version.rc")
  target_sources(${target} PRIVATE ${obj})
endfunction()
configure_file(${CMAKE_SOURCE_DIR}/cmake/hctctl.manifest.in ${CMAKE_BINARY_DIR}/hctctl.manifest @ONLY)

# ---------------------------------------------------------------------------------------------
# hct.sys
# ---------------------------------------------------------------------------------------------
set(HCT_KERNEL_COMPILE_OPTIONS
    -O2 -Wall -Wextra -Wno-multichar
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-use-cxa-atexit
    -fno-stack-protector -mno-stack-arg-probe -fno-strict-aliasing
    # Kernel stacks are 12 KB (24 KB on x64) for the whole call chain; a frame over 4 KB would also
    # need __chkstk, which the kernel does not export.
    -Wframe-larger-than=1024
    ${HCT_KERNEL_ARCH_FLAGS})

set(HCT_KERNEL_LINK_OPTIONS
    -nostdlib
    LINKER:--fatal-warnings
    LINKER:--subsystem,native
    LINKER:--wdmdriver
    LINKER:--entry,${HCT_KERNEL_ENTRY}
    LINKER:--image-base,${HCT_KERNEL_IMAGE_BASE}
    LINKER:--section-alignment,0x1000
    LINKER:--file-alignment,0x200
    LINKER:--dynamicbase
    LINKER:--nxcompat
    LINKER:--no-insert-timestamp)

# HCT_KERNEL_SOURCES overrides the glob (for trying the flags on a scratch source).
set(HCT_KERNEL_SOURCES "" CACHE STRING "Sources of hct.sys instead of usb/hct/*.cpp and report/*.cpp")
if(HCT_KERNEL_SOURCES)
  set(hct_kernel_sources ${HCT_KERNEL_SOURCES})
else()
  file(GLOB hct_kernel_sources CONFIGURE_DEPENDS
       ${CMAKE_SOURCE_DIR}/usb/hct/*.cpp
       ${CMAKE_SOURCE_DIR}/report/*.cpp)
endif()

# The driver's headers on their own, with the kernel flags: the record layout checks in hct.h (the
# 80-byte descriptor request on x86 among them) and the DDK branch of platform/kernel.h are compiled
# even while no driver source includes them.
set(hct_header_check_source ${CMAKE_BINARY_DIR}/hct_header_check.cpp)
file(CONFIGURE OUTPUT ${hct_header_check_source}
     CONTENT "#include \"usb/hct/hct.h\"\n#include \"usb/hct/hctioctl.h\"\n")
add_library(hct_header_check OBJECT ${hct_header_check_source})
target_include_directories(hct_header_check PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(hct_header_check PRIVATE KPLAT_WINDOWS_KERNEL=1)
target_compile_options(hct_header_check PRIVATE ${HCT_KERNEL_COMPILE_OPTIONS})

# The host build's own declarations (platform/host/nt.h) compiled for this width: their URB layout
# checks hold for 32-bit as well as 64-bit Windows, which the 64-bit host compiler alone cannot show.
set(hct_host_layout_check_source ${CMAKE_BINARY_DIR}/hct_host_layout_check.cpp)
file(CONFIGURE OUTPUT ${hct_host_layout_check_source} CONTENT "#include \"platform/host/nt.h\"\n")
add_library(hct_host_layout_check OBJECT ${hct_host_layout_check_source})
target_include_directories(hct_host_layout_check PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_features(hct_host_layout_check PRIVATE cxx_std_20)

if(hct_kernel_sources)
  add_executable(hct ${hct_kernel_sources})
  set_target_properties(hct PROPERTIES
                        OUTPUT_NAME hct
                        SUFFIX .sys
                        RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_include_directories(hct PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(hct PRIVATE KPLAT_WINDOWS_KERNEL=1)
  target_compile_options(hct PRIVATE ${HCT_KERNEL_COMPILE_OPTIONS})
  target_link_options(hct PRIVATE ${HCT_KERNEL_LINK_OPTIONS})
  # libgcc last: 64-bit division helpers on x86, no imports.
  target_link_libraries(hct PRIVATE ntoskrnl hal gcc)
  # VFT_DRV (3), VFT2_DRV_SYSTEM (7)
  hct_resource(hct hct.sys "hct USB mouse lower filter driver" 3 7)

  add_test(NAME windows_image_hct_sys
           COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-windows-image.sh $<TARGET_FILE:hct> ${HCT_WIN_ARCH})
  set_tests_properties(windows_image_hct_sys PROPERTIES LABELS windows)
else()
  message(WARNING "No driver sources in usb/hct/ or report/ yet: hct.sys is not built.")
endif()

# ---------------------------------------------------------------------------------------------
# hctctl.exe
# ---------------------------------------------------------------------------------------------
add_executable(hctctl
               ${CMAKE_SOURCE_DIR}/tools/hctctl/hctctl.cpp
               ${CMAKE_SOURCE_DIR}/tools/hctctl/hctctl_args.cpp
               ${CMAKE_SOURCE_DIR}/tools/hctctl/hctctl_logic.cpp)
set_target_properties(hctctl PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_include_directories(hctctl PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_definitions(hctctl PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN)
target_compile_options(hctctl PRIVATE -O2 -Wall -Wextra)
# Copied to a test machine on its own: no libgcc/libstdc++/winpthread DLLs beside it.
target_link_options(hctctl PRIVATE -static -static-libgcc -static-libstdc++ -s)
# No link time in the PE header: the same tree builds the same bytes.
target_link_options(hctctl PRIVATE LINKER:--no-insert-timestamp)
# SetupAPI for the device nodes, advapi32 for the services and the rights check, user32 for the
# device-arrival window of on --keep: all three are on every Windows.
target_link_libraries(hctctl PRIVATE setupapi advapi32 user32 kernel32)
# VFT_APP (1); the manifest as resource 1 of type RT_MANIFEST (24), which Windows reads for an .exe.
hct_resource(hctctl hctctl.exe "hct control tool" 1 0 "1 24 \"hctctl.manifest\"")

add_test(NAME windows_image_hctctl_exe
         COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/check-windows-image.sh $<TARGET_FILE:hctctl> ${HCT_WIN_ARCH} tool)
set_tests_properties(windows_image_hctctl_exe PROPERTIES LABELS windows)
