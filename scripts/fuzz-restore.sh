#!/usr/bin/env bash
# Fuzzes the restore of whole XML documents into the sample machine for a bounded time (default 120 s).
# Not part of CI.   scripts/fuzz-restore.sh [seconds]
# Builds RestoreXmlFuzz with clang in build-fuzz-restore/, seeds a corpus from the golden files and runs libFuzzer.
set -euo pipefail
secs=${1:-120}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KX_FUZZ_BUILD_DIR:-$root/build-fuzz-restore}

cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="${CXX_FUZZ:-clang++}" -DCMAKE_C_COMPILER="${CC_FUZZ:-clang}" \
    -DKX_FUZZ=ON -DKX_BUILD_TESTS=OFF -DKX_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target RestoreXmlFuzz -j2 >/dev/null
fuzzer=$(find "$build" -name RestoreXmlFuzz -type f -perm -u+x | head -n1)

# Seeds: documents the service itself writes, each behind a symbol-picking byte.
corpus="$build/restore-corpus"
mkdir -p "$corpus"
i=0
for f in "$root"/tests/data/dataserver/golden/*.xml; do
    [ -f "$f" ] || continue
    { printf '\200'; cat "$f"; } > "$corpus/golden-$i"
    i=$((i + 1))
done
printf '\000<dataentry><MAIN.aAxes index="1"><fSpeed>1.5</fSpeed></MAIN.aAxes></dataentry>' > "$corpus/axes"
printf '\003<dataentry><Recipes.stCurrent><sName>Gr\303\274\303\237e</sName><nCount>3</nCount></Recipes.stCurrent></dataentry>' > "$corpus/recipe"

log="$build/restore-fuzz.log"
set +e
"$fuzzer" -max_total_time="$secs" -max_len=8192 -rss_limit_mb=4096 -print_final_stats=1 "$corpus" >"$log" 2>&1
rc=$?
set -e
grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" || true
if [ $rc -ne 0 ]; then
    echo "fuzzer found a problem (exit $rc); see $log"
    exit $rc
fi
echo "no crash, leak or failed check in ${secs}s; log: $log"
