# Linux x86_64 program linked statically against musl, so that one file runs
# on any distribution and carries no LGPL code. Debian's g++ builds it with
# the GCC driver settings Debian's musl-dev ships for the processor
# (multiarch: musl-dev, musl-dev:arm64, musl-dev:armhf), which swap the C
# library's headers, start files and libc.a for musl's. They leave out the
# C++ library's headers, so the updater includes the C headers only, and it
# calls nothing of the C++ run-time. The aarch64 and armhf files set linux_triple (Debian's
# cross compiler), musl_triple and the QEMU user emulator that runs their
# tests here, and include this one. The processor name is the one the
# release archive carries.
set(CMAKE_SYSTEM_NAME Linux)
if(linux_triple)
  set(CMAKE_C_COMPILER ${linux_triple}-gcc)
  set(CMAKE_CXX_COMPILER ${linux_triple}-g++)
  set(CMAKE_FIND_ROOT_PATH /usr/${linux_triple})
  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
else()
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(musl_triple x86_64-linux-musl)
endif()
# musl-gcc's driver settings, the one musl-gcc file beside musl's libc.a.
file(GLOB musl_driver /usr/lib/${musl_triple}/musl-gcc.*)
if(NOT musl_driver)
  message(FATAL_ERROR "No /usr/lib/${musl_triple}/musl-gcc.*: install Debian's musl-dev for "
          "${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_driver}")
# Every program static, CMake's own test of the compiler too: the compiler's
# shared C++ library is built for glibc, its static one is never drawn on.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(TRELVANE_STATIC ON)
