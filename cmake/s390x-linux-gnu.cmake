# A big-endian 64-bit target (Debian's g++-s390x-linux-gnu): the image and
# environment formats are little-endian, so this shows any decoding that
# relies on the host's byte order.
#   cmake -S . -B build-s390x -DCMAKE_TOOLCHAIN_FILE=cmake/s390x-linux-gnu.cmake
set(UPDATE_CROSS_TRIPLET s390x-linux-gnu)
set(UPDATE_CROSS_PROCESSOR s390x)
set(UPDATE_CROSS_QEMU qemu-s390x-static)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
