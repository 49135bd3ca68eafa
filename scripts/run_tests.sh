#!/usr/bin/env bash
# Builds update_process and its tools with the "default" preset (into build/,
# programs in build/bin/) and runs the unit and end-to-end tests.
#
#   scripts/run_tests.sh
#
# On a Debian machine that lacks a build tool or GoogleTest, it installs only
# what is missing (as root, or through sudo). Exits non-zero when the build or
# any test fails.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."

# Debian packages the build and the tests need, each with a file that shows
# it is there (so a machine without dpkg is checked too).
required=(
  "cmake:/usr/bin/cmake"
  "make:/usr/bin/make"
  "g++:/usr/bin/g++"
  "libgtest-dev:/usr/include/gtest/gtest.h"
  "libgmock-dev:/usr/include/gmock/gmock.h"
  "zlib1g-dev:/usr/include/zlib.h"
  "libarchive-dev:/usr/include/archive.h"
  "nlohmann-json3-dev:/usr/include/nlohmann/json.hpp"
  "libssl-dev:/usr/include/openssl/evp.h"
)

missing=()
for entry in "${required[@]}"; do
  package=${entry%%:*}
  file=${entry#*:}
  [[ -e $file ]] || missing+=("$package")
done

if ((${#missing[@]} > 0)); then
  echo "run_tests: installing missing packages: ${missing[*]}"
  if ! command -v apt-get >/dev/null; then
    echo "run_tests: no apt-get here; install ${missing[*]} by hand" >&2
    exit 1
  fi
  sudo=()
  if ((EUID != 0)); then
    if ! command -v sudo >/dev/null; then
      echo "run_tests: not root and no sudo; install ${missing[*]} by hand" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -q
  "${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake --preset default
cmake --build --preset default -j2
ctest --preset default
