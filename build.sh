#!/usr/bin/env bash
# One command for everything: ./build.sh test | demo | build
#   build  installs what is missing, builds the kit (mingw, PE files) and the test machine
#   test   builds, then runs every test on the test machine through CTest
#   demo   builds, then runs the sample host qfdemo.exe with the bridge on the test machine
# The test machine runs natively where the host executes i386 code and enforces segment limits,
# under qemu-i386 elsewhere (scripts/sim-runner decides; QF_SIM_RUNNER=native|qemu forces it).
set -euo pipefail
cd "$(dirname "$0")"
action=${1:-build}
scripts/bootstrap
jobs=$(nproc)
cmake -S . -B build/kit -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
      -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -Wno-dev >/dev/null
cmake --build build/kit -j "$jobs"
runner=$(scripts/sim-runner --which 2>build/runner-reason)
case "$runner" in
  native) how="natively: $(cat build/runner-reason)" ;;
  *)      how="under qemu-i386: $(cat build/runner-reason)" ;;
esac
cmake -S . -B build/sim -G Ninja -DCMAKE_BUILD_TYPE=Release --no-warn-unused-cli \
      -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i386.cmake -DKIT_DIR="$PWD/build/kit" -DSIM_RUNNER="$runner" \
      -Wno-dev >/dev/null
cmake --build build/sim -j "$jobs"
case "$action" in
  build) ;;
  test)  echo "test machine: runs $how"
         ctest --test-dir build/sim --output-on-failure -j "$jobs"
         echo "test machine: ran $how" ;;
  demo)  scripts/sim-runner build/sim/tools/qfsim/qfsim build/kit/dist/qfdemo.exe ;;
  *)     echo "usage: $0 [build|test|demo]" >&2; exit 2 ;;
esac
