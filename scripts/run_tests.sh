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

# Debian packages the build and the tests need.
source scripts/require_packages.sh
require_packages run_tests \
  "cmake:/usr/bin/cmake" \
  "make:/usr/bin/make" \
  "g++:/usr/bin/g++" \
  "libgtest-dev:/usr/include/gtest/gtest.h" \
  "libgmock-dev:/usr/include/gmock/gmock.h" \
  "zlib1g-dev:/usr/include/zlib.h" \
  "libarchive-dev:/usr/include/archive.h" \
  "nlohmann-json3-dev:/usr/include/nlohmann/json.hpp" \
  "libssl-dev:/usr/include/openssl/evp.h"

cmake --preset default
cmake --build --preset default -j2
ctest --preset default
