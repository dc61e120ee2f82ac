#!/usr/bin/env bash
# Builds and runs the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

werror=${ZEP_WERROR:-OFF}
scripts/build.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DZEP_WERROR="$werror" \
  -DZEP_SANITIZE=thread -DZEP_BUILD_BENCH=OFF -- zep_threaded_tests
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --output-on-failure -j "${ZEP_TEST_JOBS:-$(nproc)}" -L threaded)
