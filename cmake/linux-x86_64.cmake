# Linux x86_64 program linked statically against musl, so that one file runs
# on any distribution and carries no LGPL code. Debian's g++ builds it with
# the specs file of Debian's musl-dev for the processor (multiarch: musl-dev,
# musl-dev:arm64, musl-dev:armhf), which swaps the C library's headers,
# start files and libc.a for musl's. Those specs leave out the C++ library's
# headers, so the updater includes the C headers only, and it calls nothing
# of the C++ run-time. The aarch64 and armhf files set linux_triple (Debian's
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
set(musl_specs /usr/lib/${musl_triple}/musl-gcc.specs)
if(NOT EXISTS ${musl_specs})
  message(FATAL_ERROR "No ${musl_specs}: install Debian's musl-dev for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
set(CMAKE_CXX_FLAGS_INIT "-specs=${musl_specs}")
# Every program static, CMake's own test of the compiler too: the compiler's
# shared C++ library is built for glibc, its static one is never drawn on.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(TRELVANE_STATIC ON)
