# Builds a static romweave for Linux x86-64 that runs on any distribution,
# whatever its C library: with clang, against Debian's musl (package
# musl-dev), with the C++ headers of libc++ (package libc++-dev). The tool
# uses only the header part of the C++ library, so no C++ library is linked:
#   cmake -S . -B build-static -DCMAKE_TOOLCHAIN_FILE=cmake/x86_64-linux-musl.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET x86_64-linux-musl)
set(musl_libraries /usr/lib/x86_64-linux-musl)
# libc++'s headers before musl's, which they include in turn.
set(CMAKE_CXX_FLAGS_INIT
  "-nostdlibinc -isystem /usr/include/c++/v1 -isystem /usr/include/x86_64-linux-musl -D_LIBCPP_HAS_MUSL_LIBC")
# A static position-independent executable, so that it is still loaded at a
# random address. The compile flags above reach the link line too, where
# clang would warn that they go unused.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-pie -nostdlib++ -B${musl_libraries} -L${musl_libraries} -Qunused-arguments")
set(CMAKE_FIND_ROOT_PATH ${musl_libraries})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Its cpack makes a tar.gz instead of a Debian package (package.cmake).
set(ROMWEAVE_STATIC_LINUX ON)
