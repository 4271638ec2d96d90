# Linux aarch64 (Raspberry Pi and other 64-bit boards), linked statically
# against musl (Debian package musl-dev:arm64).
set(linux_triple aarch64-linux-gnu)
set(musl_triple aarch64-linux-musl)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-x86_64.cmake)
