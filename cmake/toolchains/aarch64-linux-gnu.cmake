# Cross build for arm64 (64-bit Raspberry Pi OS, Armbian arm64) with
# g++-aarch64-linux-gnu.
set(VANTRO_TRIPLET aarch64-linux-gnu)
set(VANTRO_PROCESSOR aarch64)
set(VANTRO_QEMU_NAME qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianMultiarch.cmake)
