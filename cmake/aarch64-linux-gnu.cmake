# Cross build for 64-bit Arm Linux with Debian's g++-aarch64-linux-gnu.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#
# Libraries come from Debian's multiarch packages (liblilv-dev:arm64 and
# friends, under /usr/lib/aarch64-linux-gnu), which scripts/test-arm.sh keeps
# in a root of its own (scripts/roots.sh) rather than on the machine;
# headers are shared with the host architecture's. Test programs run through qemu-user, so ctest works on an x86 machine.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The C library at run time must be one piece: its dynamic loader and its
# libc.so.6 from the same package. With Debian's arm64 multiarch libraries
# installed (the test dependencies bring libc6:arm64), the loader found at
# /lib finds libc, libstdc++, lilv and sndfile in /lib/aarch64-linux-gnu:
# qemu runs with the host root as the prefix. Mixing in the cross compiler's
# own copy (-L /usr/aarch64-linux-gnu) would pair its loader with the newer
# multiarch libc.so.6 through ld.so.cache, and forked or threaded programs
# then hang. Without multiarch, the cross copy is all there is.
if(EXISTS /lib/ld-linux-aarch64.so.1)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
endif()

# pkg-config must see the arm64 .pc files only, never the host's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Programs (sord_validate, sox) are the host's; libraries and packages the
# target's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
