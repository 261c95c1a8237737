# Cross-builds romweave for the Raspberry Pi: 64-bit Raspberry Pi OS (Debian arm64),
# with Debian's g++-aarch64-linux-gnu; its unit tests run under qemu-aarch64:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
set(romweave_triple aarch64-linux-gnu)
set(romweave_processor aarch64)
set(romweave_qemu qemu-aarch64)
set(romweave_debian_architecture arm64)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
