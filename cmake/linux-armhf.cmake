# Linux armhf (32-bit Raspberry Pi OS), linked statically against musl
# (Debian package musl-dev:armhf). The processor is named after Debian's
# architecture, as the release archive is.
set(linux_triple arm-linux-gnueabihf)
set(musl_triple arm-linux-musleabihf)
set(CMAKE_SYSTEM_PROCESSOR armhf)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-x86_64.cmake)
