# 32-bit big-endian PowerPC Linux, the router's processor, with Debian's cross compiler and the
# static libraries that scripts/cross/powerpc-deps.sh builds; target programs run under qemu-ppc.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-powerpc.cmake -DXB_SYSROOT=<sysroot> ...
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)
set(XB_TRIPLE powerpc-linux-gnu)

# Where zlib, libcrypto and GoogleTest were installed (prefix <XB_SYSROOT>/usr). try_compile
# projects re-read this file without the cache, hence the forwarding and the environment.
if(NOT XB_SYSROOT)
  if(DEFINED ENV{XB_SYSROOT})
    set(XB_SYSROOT $ENV{XB_SYSROOT})
  else()
    message(FATAL_ERROR "Set XB_SYSROOT to the sysroot that scripts/cross/powerpc-deps.sh prints "
                        "with --sysroot")
  endif()
endif()
set(XB_SYSROOT "${XB_SYSROOT}" CACHE PATH "Sysroot of the cross-built libraries")
set(ENV{XB_SYSROOT} "${XB_SYSROOT}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES XB_SYSROOT)

set(CMAKE_C_COMPILER ${XB_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${XB_TRIPLE}-g++)
# The cross compiler already knows /usr/powerpc-linux-gnu (libc, libstdc++); only our libraries
# are extra.
set(CMAKE_FIND_ROOT_PATH ${XB_SYSROOT} /usr/${XB_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(ZLIB_USE_STATIC_LIBS ON)

# Fully static programs: qemu-user finds no target libraries once a test or the installer has
# changed its root into a sandbox, and a static binary needs none.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# libcrypto's PowerPC build uses 64-bit atomics, which come from libatomic on this processor.
set(CMAKE_C_STANDARD_LIBRARIES "-latomic" CACHE STRING "")
set(CMAKE_CXX_STANDARD_LIBRARIES "-latomic" CACHE STRING "")

# ctest, gtest_discover_tests() and the test harness start target programs through this.
find_program(XB_QEMU qemu-ppc)
if(NOT XB_QEMU)
  message(FATAL_ERROR "qemu-ppc not found: run scripts/cross/powerpc-deps.sh")
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${XB_QEMU})
