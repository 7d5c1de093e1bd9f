# What the cross toolchain files share: Debian's cross compiler for
# SERIALSLOTS_TRIPLET, its sysroot, and qemu-user (SERIALSLOTS_QEMU) to run the
# C++ tests with the toolchain's own libraries first, also where Debian's
# multiarch ones are installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_CXX_COMPILER ${SERIALSLOTS_TRIPLET}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${SERIALSLOTS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR ${SERIALSLOTS_QEMU} -L /usr/${SERIALSLOTS_TRIPLET}
    -E LD_LIBRARY_PATH=/usr/${SERIALSLOTS_TRIPLET}/lib)
