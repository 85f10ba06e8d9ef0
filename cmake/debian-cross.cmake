# Shared part of the toolchain files for Debian's cross compilers. The file
# that includes it sets UPDATE_CROSS_TRIPLET (the compiler prefix, also the
# directory of the target's libraries under /usr), UPDATE_CROSS_PROCESSOR
# and UPDATE_CROSS_QEMU (the qemu user-mode emulator, from qemu-user-static).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${UPDATE_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${UPDATE_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${UPDATE_CROSS_TRIPLET}-g++)

# Headers, libraries and CMake packages come from the target's tree only, so
# nothing built for the build machine (its GoogleTest, say) slips in.
set(CMAKE_FIND_ROOT_PATH /usr/${UPDATE_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest runs the target's programs through this, and the tests start the
# programs they spawn through it too. -L lets dynamically linked programs find
# the target's loader and libraries; static ones do not need it.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/${UPDATE_CROSS_QEMU} -L /usr/${UPDATE_CROSS_TRIPLET})
endif()
