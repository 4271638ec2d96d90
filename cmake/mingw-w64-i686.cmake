# Cross build of the 32-bit Windows program (i686-w64-mingw32), which runs on
# 32-bit and 64-bit Windows and on Windows on ARM.
set(mingw_arch i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
