#!/usr/bin/env bash
# One command for everything: ./build.sh test | demo | build
#   build  installs what is missing, builds the kit (mingw, PE files) and the test machine
#   test   builds, then runs every test on the test machine through CTest
#   demo   builds, then runs the sample host qfdemo.exe with the bridge on the test machine
set -euo pipefail
cd "$(dirname "$0")"
action=${1:-build}
scripts/bootstrap
jobs=$(nproc)
cmake -S . -B build/kit -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -Wno-dev >/dev/null
cmake --build build/kit -j "$jobs"
cmake -S . -B build/sim -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
      -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake -DKIT_DIR="$PWD/build/kit" -Wno-dev >/dev/null
cmake --build build/sim -j "$jobs"
# The test machine is an i386 program: run it under qemu-i386 unless this host runs i386 itself.
sim=()
case "$(uname -m)" in i[3-6]86) ;; *) sim=(qemu-i386) ;; esac
case "$action" in
  build) ;;
  test)  ctest --test-dir build/sim --output-on-failure -j "$jobs" ;;
  demo)  "${sim[@]}" build/sim/tools/qfsim/qfsim build/kit/dist/qfdemo.exe ;;
  *)     echo "usage: $0 [build|test|demo]" >&2; exit 2 ;;
esac
