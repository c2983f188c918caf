# Builds the 32-bit x86 program on a Debian x86-64 host through multiarch:
# the i686 cross compiler, the i386 libraries (Qt, LibTomCrypt, zlib) from
# /usr/lib/i386-linux-gnu, and the host's own Qt tools (moc, uic, rcc,
# lrelease), which only need to run here. The programs it builds run here too,
# so the tests run as they are. `scripts/install-deps.sh i386` installs what it
# needs; `scripts/test.sh i386` builds into build-i386/ and runs the suite.
#
#   cmake -S . -B build-i386 -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i386.cmake

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)

# The i386 packages live in the host's own prefix, beside the x86-64 ones:
# libraries are told apart by CMAKE_LIBRARY_ARCHITECTURE, pkg-config files
# by the directories below.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

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
