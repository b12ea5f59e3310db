#!/usr/bin/env bash
# Builds and runs every benchmark program of bench/ (Release) and every libFuzzer target (clang, KX_FUZZ),
# each for a bounded time, and prints one table of the figures.
#   bench/run-all.sh [--fuzz-seconds N] [--bench-seconds S] [--bench-repetitions R] [--no-bench] [--no-fuzz]
#     --fuzz-seconds N   run time of each fuzz target (default 60)
#     --bench-seconds S  minimum time of each benchmark case, Google Benchmark's --benchmark_min_time (default 0.5)
#     --bench-repetitions R  run every case R times, interleaved at random, and report the aggregates (default 1)
#     --no-bench / --no-fuzz  skip one half
# Build folders: build-bench/ (g++ or $CXX, Release) and build-fuzz-all/ (clang). Raw results and logs stay
# in build-bench/results/ and build-fuzz-all/results/. Environment: KX_BENCH_TIMEOUT (seconds one benchmark
# program may run in all, default 900), CXX_FUZZ and CC_FUZZ (default clang++ and clang).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fuzz_secs=60
bench_secs=0.5
bench_reps=1
do_bench=1
do_fuzz=1
while [ $# -gt 0 ]; do
    case "$1" in
        --fuzz-seconds) fuzz_secs=$2; shift 2 ;;
        --bench-seconds) bench_secs=$2; shift 2 ;;
        --no-bench) do_bench=0; shift ;;
        --no-fuzz) do_fuzz=0; shift ;;
        --bench-repetitions) bench_reps=$2; shift 2 ;;
        -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "run-all.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
    esac
done
bench_timeout=${KX_BENCH_TIMEOUT:-900}
table=$(mktemp)
trap 'rm -f "$table"' EXIT
status=0

# Target names of add_executable(<name> ...) lines matching a pattern, in the CMake files below a folder.
targets_in() {
    grep -rhoE "add_executable\(\s*$2\b" --include=CMakeLists.txt --include='*.cmake' "$1" \
        | sed -E 's/add_executable\(\s*//' | sort -u
}

if [ $do_bench = 1 ]; then
    bdir="$root/build-bench"
    mkdir -p "$bdir/results"
    echo "== building benchmarks in $bdir (Release)"
    cmake -S "$root" -B "$bdir" -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_BENCH=ON -DKX_BUILD_TESTS=OFF >"$bdir/results/configure.log"
    for t in $(targets_in "$root/bench" '[A-Za-z0-9_]+'); do
        if ! cmake --build "$bdir" --target "$t" -j2 >"$bdir/results/$t.build.log" 2>&1; then
            printf 'bench\t%s\t-\tbuild failed (see %s)\n' "$t" "$bdir/results/$t.build.log" >>"$table"
            status=1
            continue
        fi
        exe=$(find "$bdir" -name "$t" -type f -perm -u+x | head -n1)
        echo "== running $t"
        json="$bdir/results/$t.json"
        set +e
        reps=()
        if [ "$bench_reps" -gt 1 ]; then
            reps=(--benchmark_repetitions="$bench_reps" --benchmark_enable_random_interleaving=true
                  --benchmark_report_aggregates_only=true)
        fi
        timeout --kill-after=10 "$bench_timeout" "$exe" --benchmark_min_time="$bench_secs" "${reps[@]}" \
            --benchmark_out="$json" --benchmark_out_format=json --benchmark_color=false >"$bdir/results/$t.log" 2>&1
        rc=$?
        set -e
        if [ $rc -ne 0 ]; then
            printf 'bench\t%s\t-\tfailed with exit %d (see %s)\n' "$t" "$rc" "$bdir/results/$t.log" >>"$table"
            status=1
            [ -s "$json" ] || continue
        fi
        # One row per case: mean real time per iteration, and the throughput when the case reports one.
        python3 - "$json" >>"$table" <<'PY'
import json, sys
try:
    doc = json.load(open(sys.argv[1]))
except Exception as e:
    print("bench\t%s\t-\tunreadable results (%s)" % (sys.argv[1], e))
    sys.exit(0)
for b in doc.get("benchmarks", []):
    if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
        continue
    name = b["name"]
    print("bench\t%s\t%.4g\t%s/iteration" % (name, b["real_time"], b.get("time_unit", "ns")))
    if "bytes_per_second" in b:
        print("bench\t%s\t%.4g\tMiB/s" % (name, b["bytes_per_second"] / 1048576.0))
    if "items_per_second" in b:
        print("bench\t%s\t%.4g\titems/s" % (name, b["items_per_second"]))
PY
    done
fi

if [ $do_fuzz = 1 ]; then
    fdir="$root/build-fuzz-all"
    mkdir -p "$fdir/results"
    echo "== building fuzz targets in $fdir (clang)"
    cmake -S "$root" -B "$fdir" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" -DCMAKE_C_COMPILER="${CC_FUZZ:-clang}" \
        -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        >"$fdir/results/configure.log"
    for t in $(targets_in "$root" '[A-Za-z0-9_]+Fuzz'); do
        log="$fdir/results/$t.log"
        # A target with its own script runs through it, so that it gets that script's seeds.
        script=$(grep -lE -- "--target $t\b" "$root"/scripts/fuzz-*.sh 2>/dev/null | head -n1 || true)
        echo "== fuzzing $t for ${fuzz_secs}s${script:+ (via ${script#$root/})}"
        set +e
        if [ -n "$script" ]; then
            KX_FUZZ_BUILD_DIR="$fdir" bash "$script" "$fuzz_secs" >"$log" 2>&1
            rc=$?
        else
            if cmake --build "$fdir" --target "$t" -j2 >"$fdir/results/$t.build.log" 2>&1; then
                exe=$(find "$fdir" -name "$t" -type f -perm -u+x | head -n1)
                corpus="$fdir/corpus-$t"
                mkdir -p "$corpus"
                "$exe" -max_total_time="$fuzz_secs" -print_final_stats=1 -artifact_prefix="$fdir/results/$t-" \
                    "$corpus" >"$log" 2>&1
                rc=$?
            else
                rc=-1
            fi
        fi
        set -e
        if [ "$rc" = -1 ]; then
            printf 'fuzz\t%s\t-\tbuild failed (see %s)\n' "$t" "$fdir/results/$t.build.log" >>"$table"
            status=1
            continue
        fi
        # The script's own log holds libFuzzer's final statistics; without a script the log is ours.
        execs=$(grep -ohE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' | tail -n1 || true)
        if [ -z "$execs" ]; then
            inner=$(grep -oE '(see|log:) /[^ ]+\.log' "$log" | awk '{print $2}' | tail -n1 || true)
            if [ -n "$inner" ] && [ -f "$inner" ]; then
                execs=$(grep -ohE 'stat::number_of_executed_units: *[0-9]+' "$inner" | grep -oE '[0-9]+$' | tail -n1 || true)
            fi
        fi
        findings=0
        if [ "$rc" != 0 ]; then
            findings=1
            status=1
        fi
        printf 'fuzz\t%s\t%s\texecutions, %s findings%s\n' "$t" "${execs:-?}" "$findings" \
            "$([ "$rc" != 0 ] && echo " (exit $rc, see $log)")" >>"$table"
    done
fi

# The programs that compare their cases with a bound end their log with that comparison.
if [ $do_bench = 1 ]; then
    for log in "$root"/build-bench/results/DataServerBench.log "$root"/build-bench/results/ServiceBench.log; do
        [ -f "$log" ] || continue
        echo
        echo "== $(basename "$log" .log): comparisons"
        sed -n '/^process CPU time\|^clients /,$p' "$log"
    done
fi

echo
printf '%-6s %-60s %14s  %s\n' kind name figure unit
printf '%-6s %-60s %14s  %s\n' ---- ---- ------ ----
while IFS=$'\t' read -r kind name figure unit; do
    printf '%-6s %-60s %14s  %s\n' "$kind" "$name" "$figure" "$unit"
done <"$table"
exit $status
