# Cross build for 32-bit Arm Linux, hard-float (Debian's armhf, Raspberry Pi
# OS 32-bit), with Debian's g++-arm-linux-gnueabihf.
#
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
#
# The instruction set is not chosen here: CMakeLists.txt holds every 32-bit
# Arm hard-float build (this one, a Debian cross or native build, a build on
# a Pi) to ARM code for ARMv6 with VFPv2 and no NEON, so that one library
# runs on every Raspberry Pi, from the Pi 1 and Zero up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Debian's armhf userland (the multiarch libraries the tests link, and the
# C library itself) is built for ARMv7 with Thumb-2, so the emulator runs an
# ARMv7 processor; the library's own build attributes show that it asks for
# no more than ARMv6 (see tests/CMakeLists.txt). As for 64-bit Arm, the
# loader and libraries come from the multiarch packages when installed
# (libc6:armhf), from the cross compiler's copy otherwise.
if(EXISTS /lib/ld-linux-armhf.so.3)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a7 -L /)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu cortex-a7 -L /usr/arm-linux-gnueabihf)
endif()

# pkg-config must see the armhf .pc files only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Programs (sord_validate, sox) are the host's; libraries and packages the
# target's.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
