# Cross-builds romweave for the Raspberry Pi: 32-bit Raspberry Pi OS (Debian armhf),
# with Debian's g++-arm-linux-gnueabihf; its unit tests run under qemu-arm:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(romweave_triple arm-linux-gnueabihf)
set(romweave_processor arm)
set(romweave_qemu qemu-arm)
set(romweave_debian_architecture armhf)
include(${CMAKE_CURRENT_LIST_DIR}/debian_cross.cmake)
