# Cross build for arm64 (64-bit Raspberry Pi OS, Armbian arm64) with Debian's
# cross compiler (g++-aarch64-linux-gnu) and the multiarch -dev packages
# (dpkg --add-architecture; apt-get install libmosquitto-dev:ARCH ...).
# scripts/cross-build sets it up and uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Headers and libraries of the target come from the multiarch folders of the
# host (/usr/include/aarch64-linux-gnu, /usr/lib/aarch64-linux-gnu); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs (and GoogleTest's discovery) run under qemu-user. The target's
# dynamic loader comes with libc6:ARCH in /lib.
find_program(VANTRO_QEMU qemu-aarch64)
if(VANTRO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTRO_QEMU})
endif()
