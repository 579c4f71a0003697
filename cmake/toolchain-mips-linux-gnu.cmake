# Cross-compiles for a 32-bit big-endian MIPS router (mips32r2, o32, glibc)
# with Debian's mips-linux-gnu toolchain. Programs built for the target run
# on the build machine through qemu-user, so ctest can run the unit tests.
#
# A firmware build passes its vendor's own toolchain file instead of this one:
#   cmake -S . -B build-mips -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mips-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR mips)

set(IPSEC_CROSS_TRIPLE mips-linux-gnu)
set(CMAKE_C_COMPILER ${IPSEC_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${IPSEC_CROSS_TRIPLE}-g++)

# The target's root. Debian's cross compilers find it by themselves and its
# libc.so linker script names absolute paths, so no --sysroot is passed
# (CMAKE_SYSROOT would make the linker look for /usr/mips-linux-gnu twice).
set(CMAKE_FIND_ROOT_PATH /usr/${IPSEC_CROSS_TRIPLE})

# Programs (code generators and the like) come from the build machine;
# headers, libraries and CMake packages only from the target's root, so that
# an x86-64 package installed on the host is never linked into the target.
# Packages built for the target elsewhere are named with <Package>_DIR.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-mips;-L;/usr/${IPSEC_CROSS_TRIPLE})
