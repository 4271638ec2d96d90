# Linux x86_64 program linked statically, so that one file runs on any
# distribution. The aarch64 and armhf files set linux_triple (Debian's cross
# compiler) and the QEMU user emulator that runs their tests here, and
# include this one. The processor name is the one the release archive
# carries.
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
endif()
set(TRELVANE_STATIC ON)
