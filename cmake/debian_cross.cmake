# What a cross build for another Debian architecture needs, once for every
# such toolchain file: that file sets romweave_triple (the compilers'
# prefix), romweave_processor, romweave_qemu (the emulator that runs the
# unit tests) and romweave_debian_architecture.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${romweave_processor})
set(CMAKE_CXX_COMPILER ${romweave_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${romweave_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${romweave_qemu} -L /usr/${romweave_triple})
# The package's architecture as Debian names it; cpack would take the build
# machine's.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${romweave_debian_architecture})
