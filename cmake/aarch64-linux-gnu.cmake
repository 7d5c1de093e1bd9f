# Cross build for linux-aarch64 with Debian's g++-aarch64-linux-gnu; tests under qemu-aarch64.
set(SERIALSLOTS_TRIPLET aarch64-linux-gnu)
set(SERIALSLOTS_QEMU qemu-aarch64)
set(SERIALSLOTS_PLATFORM linux-aarch64)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
