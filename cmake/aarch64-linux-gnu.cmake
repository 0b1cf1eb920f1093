# Cross build for the board (64-bit ARM Linux) on a Debian PC: Debian's cross
# compiler and the arm64 development packages installed through multiarch, so
# the board's libraries sit under /usr/lib/aarch64-linux-gnu beside the PC's.
#   cmake -S . -B build-aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# scripts/build-aarch64.sh installs the packages and builds.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
# pkg-config files of the arm64 packages only.
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "pkg-config for the target")
# Libraries and headers of the target; programs (swig, node, …) of the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# Target programs run on this PC under user-mode emulation (Debian's qemu-user,
# which finds the arm64 loader and libraries at their multiarch paths).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
# The Debian package's architecture.
set(MOBU_DEB_ARCHITECTURE arm64)
