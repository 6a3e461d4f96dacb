# Cross build for armhf (32-bit Raspberry Pi OS, Armbian armhf) with Debian's
# cross compiler (g++-arm-linux-gnueabihf) and the multiarch -dev packages
# (dpkg --add-architecture; apt-get install libmosquitto-dev:ARCH ...).
# scripts/cross-build sets it up and uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Headers and libraries of the target come from the multiarch folders of the
# host (/usr/include/arm-linux-gnueabihf, /usr/lib/arm-linux-gnueabihf); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs (and GoogleTest's discovery) run under qemu-user. The target's
# dynamic loader comes with libc6:ARCH in /lib.
find_program(VANTRO_QEMU qemu-arm)
if(VANTRO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTRO_QEMU})
endif()
