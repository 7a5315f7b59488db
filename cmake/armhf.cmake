# 32-bit ARM hard-float, the device's architecture: clang and lld against an
# older Debian (bullseye) armhf C library, C++ library and start files,
# unpacked into build/sysroot-bullseye-armhf by scripts/sysroot.sh.  The
# device's C library defines symbol versions only up to GLIBC_2.18; building
# against C library 2.31 (and binding back the few newer versions it still
# picks, cmake/glibc-floor.h) keeps the binaries loadable there, and the tests
# run on that same old C library under qemu-arm.  scripts/check-floor.sh checks
# the result.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

get_filename_component(FOLIAN_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(FOLIAN_SYSROOT ${FOLIAN_SOURCE_DIR}/build/sysroot-bullseye-armhf)
if(NOT EXISTS ${FOLIAN_SYSROOT}/.complete)
  execute_process(COMMAND ${FOLIAN_SOURCE_DIR}/scripts/sysroot.sh RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "scripts/sysroot.sh could not unpack the armhf sysroot")
  endif()
endif()

set(triple arm-linux-gnueabihf)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${triple})
set(CMAKE_CXX_COMPILER_TARGET ${triple})
# clang finds gcc 10's start files, libgcc and the C++ library headers in the
# sysroot's usr/lib/gcc-cross/arm-linux-gnueabihf/10, the C library in
# usr/arm-linux-gnueabihf.
set(CMAKE_SYSROOT ${FOLIAN_SYSROOT})
set(CMAKE_FIND_ROOT_PATH ${FOLIAN_SYSROOT}/usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# What Debian's armhf uses: ARMv7, VFPv3 with 16 double registers, no NEON
# (the NEON pixel path is built apart and chosen at run time).
set(flags "-march=armv7-a -mfpu=vfpv3-d16 -mfloat-abi=hard -include \"${CMAKE_CURRENT_LIST_DIR}/glibc-floor.h\"")
set(CMAKE_C_FLAGS_INIT "${flags}")
set(CMAKE_CXX_FLAGS_INIT "${flags}")
# The device preset sets CMAKE_EXE_LINKER_FLAGS itself and repeats the linker.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld")
endforeach()

# qemu-arm finds the loader, the C library and the C++ runtime in the sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm;-L;${FOLIAN_SYSROOT}/usr/${triple})
