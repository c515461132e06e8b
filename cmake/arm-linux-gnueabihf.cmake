# Cross build for 32-bit ARM boards with an ARMv6 hard-float core (ARM1176JZF-S),
# with Debian's g++-arm-linux-gnueabihf; programs and tests run under qemu-arm.
#
#   cmake -B build-armhf --toolchain cmake/arm-linux-gnueabihf.cmake
#
# Everything compiled in the build, GoogleTest included, gets the board's
# flags: the executables then hold ARMv6 code only, apart from what the
# system's startup files and libraries bring in.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TCPCLIENT_CROSS_TRIPLET arm-linux-gnueabihf)
set(TCPCLIENT_CROSS_SYSROOT /usr/${TCPCLIENT_CROSS_TRIPLET})

set(CMAKE_C_COMPILER ${TCPCLIENT_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TCPCLIENT_CROSS_TRIPLET}-g++)

set(TCPCLIENT_ARM_FLAGS "-mcpu=arm1176jzf-s -mfpu=vfp -mfloat-abi=hard -marm")
set(CMAKE_C_FLAGS_INIT "${TCPCLIENT_ARM_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TCPCLIENT_ARM_FLAGS}")

# Debian's armhf libraries are built for ARMv7, so the emulator keeps its
# default CPU; -L points it at the target's loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L ${TCPCLIENT_CROSS_SYSROOT})

set(CMAKE_FIND_ROOT_PATH ${TCPCLIENT_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The Debian architecture of the packages cpack makes from this build.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
