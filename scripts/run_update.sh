#!/usr/bin/env bash
# The main job: the example update tried on the simulated board.
#
# Installs what the build needs when it is missing (as run_tests.sh does),
# builds the programs with the "tools" preset (into build-tools/, no tests,
# the build's lines shown) and the example update archive
# (out/example/update.img: the package of examples/package/ with the board's
# download tool, and a software image of about 200 KB, the same on every
# run), then runs
#
#   update_sim --try out/example/update.img --settings examples/board/settings
#              --data examples/board/data.txt --root out/sandbox --time-scale 0.05
#
# which sets up a fresh board, runs the daemon and the admin side, starts the
# update, shows it live to its verdict, tells where everything is left and
# stops the daemon. Exits 0 only when the update ended "OK".
#
#   scripts/run_update.sh            (board: out/sandbox, time scale 0.05)
#   UPDATE_SANDBOX=/tmp/sb UPDATE_TIME_SCALE=0.2 scripts/run_update.sh
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
build=${UPDATE_BUILD_DIR:-$repo/build-tools}
sandbox=${UPDATE_SANDBOX:-$repo/out/sandbox}
scale=${UPDATE_TIME_SCALE:-0.05}
bin=$build/bin

# What the build needs (no GoogleTest: this build has no tests).
source "$repo/scripts/require_packages.sh"
require_packages run_update \
  "cmake:/usr/bin/cmake" \
  "make:/usr/bin/make" \
  "g++:/usr/bin/g++" \
  "zlib1g-dev:/usr/include/zlib.h" \
  "libarchive-dev:/usr/include/archive.h" \
  "nlohmann-json3-dev:/usr/include/nlohmann/json.hpp"

echo "Building update_sim and update_image in $build ..."
if [ -n "${UPDATE_BUILD_DIR:-}" ]; then
  # A folder configured before keeps its settings; a new one gets the tools
  # preset's.
  settings=()
  [ -e "$build/CMakeCache.txt" ] ||
    settings=(-DCMAKE_BUILD_TYPE=Release -DUPDATE_BUILD_TESTS=OFF -DUPDATE_BUILD_TOOLS=ON)
  cmake -S "$repo" -B "$build" "${settings[@]}" >/dev/null
else
  (cd "$repo" && cmake --preset tools >/dev/null)
fi
cmake --build "$build" -j2 --target update_sim update_image

work=$repo/out/example
echo "Building the example update archive $work/update.img ..."
rm -rf "$work"
mkdir -p "$work"
cp -r "$repo/examples/package" "$work/package"
cp "$repo/sim/dfu_sim" "$work/package/dfu"
chmod 755 "$work/package/dfu"
seq 1 8000 | sed "s/^/skq software image line /" > "$work/software.bin"
truncate -s 204800 "$work/software.bin"
"$bin/update_image" create --package "$work/package" --software "$work/software.bin" \
  --name "skq update example" --software-name "Linux skq 1.1.0" -o "$work/update.img" >/dev/null

exec "$bin/update_sim" --try "$work/update.img" --settings "$repo/examples/board/settings" \
  --data "$repo/examples/board/data.txt" --root "$sandbox" --time-scale "$scale"
