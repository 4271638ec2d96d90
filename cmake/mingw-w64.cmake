# Cross build of the 64-bit Windows program with MinGW-w64. The 32-bit
# program's toolchain file sets mingw_arch to i686 and includes this one.
if(NOT mingw_arch)
  set(mingw_arch x86_64)
endif()
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${mingw_arch})
# The win32 thread model's compilers, the one installed: the updater starts
# no thread, and this model needs no winpthreads run-time.
set(CMAKE_C_COMPILER ${mingw_arch}-w64-mingw32-gcc-win32)
set(CMAKE_CXX_COMPILER ${mingw_arch}-w64-mingw32-g++-win32)
set(CMAKE_RC_COMPILER ${mingw_arch}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_arch}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
