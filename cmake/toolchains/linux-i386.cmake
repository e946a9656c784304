# 32-bit x86 Linux with Debian's g++-multilib: the build machine's compiler
# with -m32 and the i386 multiarch libraries. The programs may not start here
# (a kernel without 32-bit support), so ctest runs them through
# linux-i386-run.sh, which falls back on qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)

# pkg-config would otherwise hand FindOpenSSL the build machine's 64-bit
# library paths as hints, searched before the i386 ones.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../linux-i386-run.sh)
endif()
