#!/bin/sh
# The project's test command: installs the dependencies, configures into
# build/, builds and runs the whole CTest suite. A debug build, so that the
# invariants written as Q_ASSERT are checked while the tests run.
set -eu

cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Debug
cmake --build build
cd build
ctest --output-on-failure --parallel "$(nproc)" --timeout 300
