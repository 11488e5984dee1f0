# Builds for 64-bit ARM boards (Debian's arm64) on an amd64 machine, with
# Debian's cross compiler and the arm64 libraries installed beside the
# machine's own (multiarch): `make package ARCH=arm64`, `make test-arm64`.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
# Libraries, CMake packages and pkg-config files come from the arm64 folders
# (lib/aarch64-linux-gnu), never from the machine's own.
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
# The package's Architecture field.
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
