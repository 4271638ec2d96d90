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
# Every program a static PIE, CMake's own test of the compiler too: the
# compiler's shared C++ library is built for glibc, its static one is never
# drawn on. A static PIE is loaded anywhere (ASLR) and relocates itself, as
# Debian builds its own programs (dpkg-buildflags, hardening=+all): its
# relocated data read-only once it runs (-z relro -z now), its stack not
# executable. musl's driver settings take Scrt1.o and name musl's dynamic
# loader, which would make a dynamic PIE of it; the settings written here
# from them take musl's rcrt1.o, a static PIE's start file, and link with no
# loader at all.
file(READ "${musl_driver}" settings)
string(REPLACE "Scrt1.o" "rcrt1.o" settings "${settings}")
string(REGEX REPLACE "-dynamic-linker [^ ]+"
       "-static -pie --no-dynamic-linker -z text -z relro -z now -z noexecstack" settings "${settings}")
set(static_pie_driver "${CMAKE_BINARY_DIR}/musl-static-pie.driver")
file(WRITE "${static_pie_driver}" "${settings}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${static_pie_driver} -fPIE")
set(CMAKE_EXE_LINKER_FLAGS_INIT -static-pie)
set(TRELVANE_STATIC ON)
