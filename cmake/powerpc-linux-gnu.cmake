# Cross build for the target: 32-bit big-endian PowerPC Linux, with Debian's
# powerpc-linux-gnu toolchain (package g++-powerpc-linux-gnu).
#
# Test programs run on the host through qemu-ppc (package qemu-user); the
# "ppc" preset sets CMAKE_CROSSCOMPILING_EMULATOR, and so does this file when
# it is used on its own and qemu-ppc is installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR powerpc)

set(UPDATE_CROSS_TRIPLE powerpc-linux-gnu)
set(UPDATE_CROSS_SYSROOT /usr/${UPDATE_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${UPDATE_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${UPDATE_CROSS_TRIPLE}-g++)

# Libraries and packages come from the target's tree only, never the host's
# (the host's GoogleTest is x86-64); programs such as qemu come from the host.
set(CMAKE_FIND_ROOT_PATH ${UPDATE_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The dynamic loader and shared libraries of the target live under the
# sysroot; qemu-ppc finds them there with -L. Set only where qemu-ppc is
# found (a given -DCMAKE_CROSSCOMPILING_EMULATOR wins); without an emulator
# a build with tests stops at configure time and says what it needs.
find_program(UPDATE_QEMU_PPC qemu-ppc)
if(UPDATE_QEMU_PPC)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${UPDATE_QEMU_PPC};-L;${UPDATE_CROSS_SYSROOT}"
      CACHE STRING "Runs target programs on the host")
endif()
