# Builds the 32-bit x86 program on a Debian x86-64 host: the i686 cross
# compiler, the i386 libraries and headers (Qt, LibTomCrypt, zlib, libcurl)
# from a root of their own, and the host's own Qt tools (moc, uic, rcc,
# lrelease), which only need to run here. `scripts/install-deps.sh i386`
# installs what it needs and makes the root (scripts/make-i386-root.sh);
# `scripts/test.sh i386` builds into build-i386/ and runs the suite.
#
#   cmake -S . -B build-i386 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

get_filename_component(default_root "${CMAKE_CURRENT_LIST_DIR}/../build-i386-root" ABSOLUTE)
set(KORVALUNE_I386_ROOT "${default_root}" CACHE PATH "Root of the i386 libraries and headers")
set(CMAKE_SYSROOT "${KORVALUNE_I386_ROOT}")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${CMAKE_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${CMAKE_SYSROOT}/usr/lib/i386-linux-gnu/pkgconfig:${CMAKE_SYSROOT}/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# The programs of this build run on this host, which has no i386 libraries
# of its own: they name the root's loader and find every library in the root
# (an RPATH, which unlike a RUNPATH also serves the libraries they load).
# They are test builds for this host, not for another machine.
set(libraries "${CMAKE_SYSROOT}/usr/lib/i386-linux-gnu")
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-Wl,--dynamic-linker=${CMAKE_SYSROOT}/lib/ld-linux.so.2 -Wl,--disable-new-dtags -Wl,-rpath,${libraries}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-Wl,--disable-new-dtags -Wl,-rpath,${libraries}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${CMAKE_SHARED_LINKER_FLAGS_INIT}")
# Qt looks for its plug-ins (the offscreen platform of the tests among them)
# where the root's Qt would lie on an i386 system.
set(KORVALUNE_TEST_ENVIRONMENT "QT_PLUGIN_PATH=${libraries}/qt6/plugins")

# Qt's tools are host programs: take them, and the CMake packages that
# describe them (LinguistTools among them), from the x86-64 installation.
set(QT_HOST_PATH "/usr" CACHE PATH "Prefix of the host's Qt tools")
set(QT_HOST_PATH_CMAKE_DIR "/usr/lib/x86_64-linux-gnu/cmake" CACHE PATH
    "CMake packages of the host's Qt tools")
set(QT_ADDITIONAL_HOST_PACKAGES_PREFIX_PATH "/usr/lib/x86_64-linux-gnu/cmake" CACHE STRING
    "Where the host's Qt tool packages are")

# A host whose kernel does not run 32-bit x86 programs (seen on a virtual
# machine without 32-bit support) runs the tests under this user-mode emulator
# instead (cmake/KorvaluneTesting.cmake).
set(KORVALUNE_TEST_EMULATOR qemu-i386)

# Only i386 libraries and headers are linked, never the host's x86-64 ones;
# programs (pkg-config, the Qt tools) come from the host.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
