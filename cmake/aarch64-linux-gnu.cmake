# Cross build for 64-bit Arm devices with Debian's crossbuild-essential-arm64 and the arm64
# development packages installed next to the host's (dpkg --add-architecture arm64):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
# Qt's moc and qdbusxml2cpp run on the build machine, so the host's qtbase5-dev-tools serve.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(NORVI_TARGET_TRIPLET aarch64-linux-gnu)

set(CMAKE_C_COMPILER ${NORVI_TARGET_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${NORVI_TARGET_TRIPLET}-g++)

# Multiarch keeps the target's libraries and CMake packages under the usual prefix, in
# directories of their own; nothing else of the build machine may leak into the target.
set(CMAKE_LIBRARY_ARCHITECTURE ${NORVI_TARGET_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${NORVI_TARGET_TRIPLET}/pkgconfig:/usr/share/pkgconfig)

# Test programs run through user-mode emulation; the target's loader and libraries are the
# multiarch ones of libc6:arm64, which the -dev packages pull in. The emulator cannot start
# child processes for a QProcess, which then signals a pid it never had: each test runs in
# PID and network namespaces of its own (as root), where that reaches nothing else.
find_program(NORVI_QEMU qemu-aarch64-static)
find_program(NORVI_UNSHARE unshare)
if(NORVI_QEMU AND NORVI_UNSHARE)
    set(CMAKE_CROSSCOMPILING_EMULATOR
        ${NORVI_UNSHARE} --pid --fork --kill-child --mount-proc --net ${NORVI_QEMU})
endif()
