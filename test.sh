#!/usr/bin/env bash
# Installs missing test dependencies, builds the native release build, two sanitizer builds of
# the unit tests (address and undefined behaviour; threads) and the Windows build, runs every
# test, and ends with "N passed, N failed".
# The Wine tests run the shipped 32-bit Windows build where this machine runs 32-bit x86
# programs, else a 64-bit variant of the same tree in build-win64 (KB_FORCE_WIN64=1 forces
# that path); the 32-bit DLL is then checked from its file. See tests/integration/lib/wine.sh.
set -u
cd "$(dirname "$0")"
JOBS="${KB_JOBS:-2}"
passed=0
failed=0
failed_names=()

note() { printf '\n=== %s\n' "$*"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "test.sh: the whole-system tests create network namespaces and need root" >&2
fi
note "dependencies"
if ! tools/install-deps.sh; then
    echo "test.sh: installing dependencies failed; continuing with what is installed" >&2
fi

# Which Windows build the Wine tests run: decided once here, passed to every test through the
# environment.
source tests/integration/lib/wine.sh
kb_wine_select
windows_line=$(kb_wine_describe)
note "windows build"
echo "$windows_line"

# build NAME CMAKE-ARGS...: configures and builds; a failure counts as one failed test.
build() {
    local dir="$1"; shift
    note "build $dir"
    if cmake -S . -B "$dir" "$@" >"$dir/configure.log" 2>&1 || { cat "$dir/configure.log"; false; }; then
        if cmake --build "$dir" -j"$JOBS"; then
            return 0
        fi
    fi
    failed=$((failed + 1))
    failed_names+=("build of $dir")
    return 1
}

# run_ctest DIR ARGS...: runs ctest and adds its counts.
run_ctest() {
    local dir="$1"; shift
    note "tests in $dir $*"
    local log="$dir/ctest-summary.log"
    ctest --test-dir "$dir" --output-on-failure "$@" 2>&1 | tee "$log"
    local line total bad
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        if grep -q 'No tests were found' "$log"; then
            return
        fi
        failed=$((failed + 1))
        failed_names+=("ctest in $dir did not finish")
        return
    fi
    bad=$(echo "$line" | sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/')
    total=$(echo "$line" | sed -E 's/.* failed out of ([0-9]+).*/\1/')
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    while IFS= read -r name; do
        failed_names+=("$dir: $name")
    done < <(sed -n '/The following tests FAILED:/,$p' "$log" | grep -E '^\s+[0-9]+ - ' |
             sed -E 's/^\s+[0-9]+ - //')
}

# Every tracked C++ file is as clang-format leaves it; counts as one test.
format_check() {
    note "format"
    if ! command -v clang-format >/dev/null; then
        echo "clang-format is not installed; format not checked"
        return
    fi
    local unformatted
    unformatted=$(git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run 2>&1 |
                  sed -nE 's/^([^ :]+\.(cpp|h)):[0-9]+:[0-9]+: warning: code should be.*/\1/p' | sort -u)
    if [ -z "$unformatted" ]; then
        passed=$((passed + 1))
    else
        echo "not formatted with clang-format:"; echo "$unformatted" | sed 's/^/  /'
        failed=$((failed + 1))
        failed_names+=("format: $(echo $unformatted)")
    fi
}

# The product folders include each other in one direction only; counts as one test.
include_check() {
    note "include cycles"
    if python3 tools/check_include_cycles.py .; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        failed_names+=("include cycle between folders")
    fi
}

mkdir -p build build-asan build-tsan build-win32 build-win64 build-fuzz
build build -DCMAKE_BUILD_TYPE=Release -DKB_INTEGRATION_TESTS=ON && native_ok=1 || native_ok=0
build build-asan -DCMAKE_BUILD_TYPE=Debug -DKB_SANITIZE=address,undefined \
    -DKB_INTEGRATION_TESTS=OFF -DKB_PRODUCT=ON && asan_ok=1 || asan_ok=0
# The thread sanitizer's build: the unit tests only (no product, no benchmarks), which include
# the catalogue's, the event delivery's and the servers' tests that run threads at once.
build build-tsan -DCMAKE_BUILD_TYPE=Debug -DKB_SANITIZE=thread -DKB_INTEGRATION_TESTS=OFF \
    -DKB_PRODUCT=OFF -DKB_BUILD_BENCH=OFF && tsan_ok=1 || tsan_ok=0
build build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
    -DCMAKE_BUILD_TYPE=Release || true
if [ "$KB_WINDOWS_BUILD" = win64 ]; then
    build build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release || true
fi

# The Wine prefix the whole-system tests share (the selected Windows build folder's own), made
# once here inside a namespace of its own, so that its first wineserver never sees the real
# network.
prepare_wine_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return
    command -v xvfb-run >/dev/null && kb_wine_stage || return
    kb_wine_preflight >/dev/null || return  # the Wine tests report it, each within seconds
    note "wine prefix"
    ip netns add kb-wineboot 2>/dev/null || return
    kb_wine_prefix kb-wineboot
    for pid in $(ip netns pids kb-wineboot 2>/dev/null); do kill "$pid" 2>/dev/null; done
    ip netns del kb-wineboot
}

# The libFuzzer targets build with clang and each runs briefly over a copy of its corpus; a
# crash counts as a failure (its input is left in build-fuzz/crashes/ to join the corpus).
fuzz_smoke() {
    command -v clang++ >/dev/null || { echo "clang++ is not installed; fuzz targets not built"; return; }
    CC=clang CXX=clang++ build build-fuzz -DKB_BUILD_FUZZ=ON -DKB_BUILD_TESTS=OFF \
        -DKB_BUILD_BENCH=OFF -DKB_PRODUCT=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo || return
    note "fuzz smoke"
    mkdir -p build-fuzz/crashes
    local target name corpus
    for target in build-fuzz/fuzz/fuzz_*; do
        name=${target##*/fuzz_}
        corpus="build-fuzz/corpus/$name"
        mkdir -p "$corpus"
        cp -r "fuzz/corpus/$name/." "$corpus/" 2>/dev/null
        if "$target" -max_total_time=5 -artifact_prefix=build-fuzz/crashes/ "$corpus" \
            >"build-fuzz/fuzz-$name.log" 2>&1; then
            passed=$((passed + 1))
        else
            tail -20 "build-fuzz/fuzz-$name.log"
            failed=$((failed + 1))
            failed_names+=("fuzz: $name")
        fi
    done
}

format_check
include_check
fuzz_smoke
prepare_wine_prefix
# The native run includes the whole-system tests, the Wine smoke test among them.
[ "$native_ok" = 1 ] && run_ctest build -j"$JOBS" --timeout 300
[ "$asan_ok" = 1 ] && UBSAN_OPTIONS=print_stacktrace=1 run_ctest build-asan -L unit -j"$JOBS" --timeout 300
[ "$tsan_ok" = 1 ] && TSAN_OPTIONS=halt_on_error=1 run_ctest build-tsan -L unit -j"$JOBS" --timeout 300

if [ ${#failed_names[@]} -gt 0 ]; then
    note "failed"
    printf '  %s\n' "${failed_names[@]}"
fi
echo
echo "$windows_line"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
