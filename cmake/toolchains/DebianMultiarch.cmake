# The common part of the cross builds with Debian's cross compilers and the
# multiarch -dev packages (dpkg --add-architecture; apt-get install
# libmosquitto-dev:ARCH ...). The toolchain file of a target sets
# VANTRO_TRIPLET, VANTRO_PROCESSOR and VANTRO_QEMU_NAME, then includes this.
# scripts/cross-build sets it up and uses it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${VANTRO_PROCESSOR})
set(CMAKE_C_COMPILER ${VANTRO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${VANTRO_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${VANTRO_TRIPLET})

# Headers and libraries of the target come from the multiarch folders of the
# host (/usr/include/TRIPLET, /usr/lib/TRIPLET); programs run on the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${VANTRO_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Test programs (and GoogleTest's discovery) run under qemu-user. The target's
# dynamic loader comes with libc6:ARCH in /lib.
find_program(VANTRO_QEMU ${VANTRO_QEMU_NAME})
if(VANTRO_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VANTRO_QEMU})
endif()
