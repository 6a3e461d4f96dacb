# Cross build for armhf (32-bit Raspberry Pi OS, Armbian armhf) with
# g++-arm-linux-gnueabihf.
set(VANTRO_TRIPLET arm-linux-gnueabihf)
set(VANTRO_PROCESSOR arm)
set(VANTRO_QEMU_NAME qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/DebianMultiarch.cmake)
