# Cross build for linux-arm (armhf) with Debian's g++-arm-linux-gnueabihf; tests under qemu-arm.
set(SERIALSLOTS_TRIPLET arm-linux-gnueabihf)
set(SERIALSLOTS_QEMU qemu-arm)
set(SERIALSLOTS_PLATFORM linux-arm)
set(CMAKE_SYSTEM_PROCESSOR arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
