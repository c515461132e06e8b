# Cross build of static programs for 32-bit ARM boards, with Debian's armel
# toolchain (g++-arm-linux-gnueabi, libc6-dev-armel-cross):
#
#   cmake -B build-armv6 --toolchain cmake/armv6-static.cmake
#
# Which build runs where:
# - This one: ARMv6 (ARM1176JZF-S: Raspberry Pi 1 and Zero) and the later
#   cores that run 32-bit programs (tools/pi-zero-boot.sh --arm64 boots a
#   Cortex-A53 under a 64-bit kernel), on any ARM Linux system, hard-float
#   (armhf) or not. The programs are linked statically, so they carry
#   their own C and C++ runtime and need none of the system's libraries.
#   Debian's armel libraries are ARMv5TE, which an ARMv6 core runs;
#   everything compiled here, GoogleTest included, gets the board's flags.
#   softfp passes floating-point arguments in integer registers but
#   computes in VFP; that convention stays inside the static program.
# - Its tests run on the build machine under qemu-arm with an ARM1176 CPU
#   model, which rejects ARMv7 instructions.
# - A native build (no toolchain file) runs where it was built, the board
#   itself included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TCPCONSOLE_CROSS_TRIPLET arm-linux-gnueabi)
set(TCPCONSOLE_CROSS_SYSROOT /usr/${TCPCONSOLE_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${TCPCONSOLE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TCPCONSOLE_CROSS_TRIPLET}-g++)

set(TCPCONSOLE_ARM_FLAGS "-mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=softfp -marm")
set(CMAKE_C_FLAGS_INIT "${TCPCONSOLE_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TCPCONSOLE_ARM_FLAGS}")
# Read by CMakeLists.txt: link with -static, package without dependencies.
set(TCPCONSOLE_STATIC ON)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm1176)

set(CMAKE_FIND_ROOT_PATH ${TCPCONSOLE_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architectures of the packages cpack makes from this build, one
# each: Raspberry Pi OS's 32-bit system is armhf (built for ARMv6), Debian
# on a Pi Zero or 1 is armel; a static program needs nothing of either.
set(TCPCONSOLE_PACKAGE_ARCHITECTURES armhf armel)
# The boards named are those tools/pi-zero-boot.sh boots, emulated.
string(CONCAT TCPCONSOLE_PACKAGE_NOTE
  "This build is linked statically for ARMv6; it needs no shared library.\n"
  "It runs on the ARM1176 of the Raspberry Pi 1 and Zero under a 32-bit\n"
  "kernel, and on the Cortex-A53 of a Raspberry Pi 3 under a 64-bit kernel.")
