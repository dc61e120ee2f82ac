#!/usr/bin/env bash
# Installs what is missing, builds and runs every test:
#   1. the whole suite in the main build (RelWithDebInfo),
#   2. the library, application, command-line and window tests with
#      AddressSanitizer + UBSan (window tests on the offscreen platform, with
#      tests/ui/lsan.supp for what Qt's libraries keep for the process's life),
#   3. the threaded tests with ThreadSanitizer.
# ZEP_WERROR=ON (set by CI) turns warnings into errors.
set -euo pipefail
cd "$(dirname "$0")"

scripts/deps.sh

werror=${ZEP_WERROR:-OFF}
jobs=${ZEP_TEST_JOBS:-$(nproc)}

echo "== main build"
scripts/build.sh build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEP_WERROR="$werror"
(cd build && ctest --output-on-failure -j "$jobs")

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DZEP_WERROR="$werror" \
  -DZEP_SANITIZE=address,undefined -DZEP_BUILD_BENCH=OFF -- zep_library_tests zep_app_tests zep_cli_tests zep_ui_tests
# The window tests set QT_QPA_PLATFORM and LSAN_OPTIONS themselves (tests/ui/CMakeLists.txt).
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --output-on-failure -j "$jobs" -L 'library|app|cli|ui')

echo "== ThreadSanitizer"
scripts/tsan.sh
