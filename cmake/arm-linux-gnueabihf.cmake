# The camera: 32-bit ARM, hard-float ABI (Debian's g++-arm-linux-gnueabihf).
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(UPDATE_CROSS_TRIPLET arm-linux-gnueabihf)
set(UPDATE_CROSS_PROCESSOR arm)
set(UPDATE_CROSS_QEMU qemu-arm-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
