# Cross build for 64-bit ARM Linux with Debian's cross compiler and the
# target's multiarch libraries (libssl-dev:arm64, libpython3.14-dev:arm64):
#   cmake -S . -B build/arm --toolchain cmake/aarch64-linux-gnu.cmake
# Test programs run under qemu-user, named explicitly as the emulator (no
# binary format is registered with the kernel). Its default processor model
# is "max", which has the AES instructions; QEMU_CPU picks another.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Target libraries and headers from their multiarch folders only, build
# tools from the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The loader and C library come from the arm64 multiarch packages (-L /);
# the C++ runtime only from the cross compiler's own folder.
set(CMAKE_CROSSCOMPILING_EMULATOR
    qemu-aarch64 -L / -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib)
