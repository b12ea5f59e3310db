# Sourced by the scripts/fuzz-<area>.sh runners after they set area: the run time (their first argument,
# default 120 s), the folders, the clang build of one libFuzzer target and its bounded run.
# Environment: KX_FUZZ_SOURCE_DIR (default: this checkout), KX_FUZZ_BUILD_DIR (default build-fuzz-<area>/),
# CXX_FUZZ and CC_FUZZ (default clang++ and clang).
secs=${1:-120}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
src=${KX_FUZZ_SOURCE_DIR:-$root}
build=${KX_FUZZ_BUILD_DIR:-$root/build-fuzz-$area}
corpus="$build/$area-corpus"

# fuzz_build --target NAME: configures $build for libFuzzer, builds NAME, sets fuzzer to its program and makes
# the corpus folder.
fuzz_build() {
    cmake -S "$src" -B "$build" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" -DCMAKE_C_COMPILER="${CC_FUZZ:-clang}" \
        -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" "$@" -j2 >/dev/null
    fuzzer=$(find "$build" -name "$2" -type f -perm -u+x | head -n1)
    mkdir -p "$corpus"
}

# fuzz_run [libFuzzer options]: runs the fuzzer over the corpus for secs seconds, logging to
# $build/<area>-fuzz.log, and prints its final statistics. Exits with the fuzzer's status when it found a problem.
fuzz_run() {
    local log="$build/$area-fuzz.log" rc
    set +e
    "$fuzzer" -max_total_time="$secs" -print_final_stats=1 "$@" "$corpus" >"$log" 2>&1
    rc=$?
    set -e
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "$log" || true
    if [ $rc -ne 0 ]; then
        echo "fuzzer found a problem (exit $rc); see $log"
        exit $rc
    fi
    echo "no crash, leak or failed check in ${secs}s; log: $log"
}
