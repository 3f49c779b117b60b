#!/usr/bin/env bash
# Builds the store, window and import suites with AddressSanitizer and UndefinedBehaviorSanitizer into their own
# build folder and runs each suite as one process, so that a fault between tests of one suite (an operation that
# outlives its fixture) fails here even though ctest runs every test in a process of its own.
#   test-sanitized.sh <builddir> [jobs]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:?usage: test-sanitized.sh <builddir> [jobs]}"
jobs="${2:-$(nproc)}"

suites=(
    tests/store/test_vault_store
    tests/store/test_vault_manage
    tests/store/test_store_records
    tests/pocket/test_pocket_storage
    tests/sheets/test_sheet_models
    tests/sheets/test_sheet_widgets
    tests/sheets/import/test_import
    tests/pocketui/test_pocketui
    tests/home/test_home_window
    tests/app/test_app_shell
)

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLARKHOLD_SANITIZE=ON \
    -DLARKHOLD_BUILD_BENCH=OFF -DLARKHOLD_BUILD_FUZZ=OFF -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    "${launcher[@]}" >/dev/null
targets=()
for suite in "${suites[@]}"; do
    targets+=("$(basename "$suite")")
done
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=0:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for suite in "${suites[@]}"; do
    echo "sanitized: $suite"
    if ! (cd "$build" && "./$suite" --gtest_brief=1); then
        failed+=("$suite")
    fi
done
echo "sanitized: $((${#suites[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if ((${#failed[@]})); then
    echo "sanitized suites failed: ${failed[*]}" >&2
    exit 1
fi
