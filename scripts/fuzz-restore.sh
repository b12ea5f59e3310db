#!/usr/bin/env bash
# Fuzzes the restore of whole XML documents into the sample machine for a bounded time (default 120 s).
# Not part of CI.   scripts/fuzz-restore.sh [seconds]
# Builds RestoreXmlFuzz with clang in build-fuzz-restore/, seeds a corpus from the golden files and runs libFuzzer.
set -euo pipefail
area=restore
. "$(dirname "$0")/fuzz-common.sh"
fuzz_build --target RestoreXmlFuzz

# Seeds: documents the service itself writes, each behind a symbol-picking byte.
i=0
for f in "$root"/tests/data/dataserver/golden/*.xml; do
    [ -f "$f" ] || continue
    { printf '\200'; cat "$f"; } > "$corpus/golden-$i"
    i=$((i + 1))
done
printf '\000<dataentry><MAIN.aAxes index="1"><fSpeed>1.5</fSpeed></MAIN.aAxes></dataentry>' > "$corpus/axes"
printf '\003<dataentry><Recipes.stCurrent><sName>Gr\303\274\303\237e</sName><nCount>3</nCount></Recipes.stCurrent></dataentry>' > "$corpus/recipe"

fuzz_run -max_len=8192 -rss_limit_mb=4096
