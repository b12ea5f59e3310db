#!/usr/bin/env bash
# Fuzzes the job payload decoder for a bounded time (default 120 s). Not part of CI.
#   scripts/fuzz-jobs.sh [seconds]
# Builds JobPayloadFuzz with clang in build-fuzz-jobs/, seeds a corpus there and runs libFuzzer.
# The first input byte picks the job (1144 + byte mod 9), the rest is the payload.
set -euo pipefail
area=jobs
. "$(dirname "$0")/fuzz-common.sh"
fuzz_build --target JobPayloadFuzz

# Seeds: one well-formed payload per job, and a few broken ones.
python3 - "$corpus" <<'PY'
import struct, sys, os
out = sys.argv[1]
addr = bytes([127, 0, 0, 1, 1, 1]) + struct.pack('<H', 851)
def s(t): return t.encode() + b'\0'
def job(k, body): return bytes([k]) + body
f, sym, path = 'a.xml', 'MAIN.nCycle', '/dataentry/MAIN.nCycle'
seeds = {
    'open': job(0, addr + struct.pack('<IH', 5000, len(f)) + s(f)),
    'close': job(1, b''),
    'read': job(2, b''),
    'write': job(3, b'\1\2\3\4'),
    'openread': job(4, addr + struct.pack('<IHHHH', 5000, 3, len(f), len(sym), len(path)) + s(f) + s(sym) + s(path)),
    'openwrite': job(5, addr + struct.pack('<IHHHH', 0xFFFFFFFF, 2, len(f), len(sym), len(path)) + s(f) + s(sym) + s(path)),
    'readsym': job(6, struct.pack('<HHHHB', 0, len(sym), len(path), 0, 0) + s(sym) + s(path)),
    'writesym': job(7, struct.pack('<IHHHHB', 4, 1, len(sym), len(path), 0, 0) + s(sym) + s(path) + b'\7\0\0\0'),
    'clarify': job(8, addr + struct.pack('<IHH', 100, len(f), 5) + s(f) + s('b.xml')),
    'early-nul': job(0, addr + struct.pack('<IH', 5000, 5) + b'a\0xml\0'),
    'huge-data': job(7, struct.pack('<IHHHHB', 0xFFFFFFF0, 1, 1, 1, 0, 0) + s('x') + s('y')),
    'truncated': job(4, addr + struct.pack('<IHH', 1, 2, 3)),
}
for name, data in seeds.items():
    with open(os.path.join(out, name), 'wb') as fh:
        fh.write(data)
PY

fuzz_run -max_len=1024
