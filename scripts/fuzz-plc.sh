#!/usr/bin/env bash
# Fuzzes the simulated PLC (description loader and request handling) for a bounded time (default 120 s).
# Not part of CI.
#   scripts/fuzz-plc.sh [seconds]
# Builds KxPlcFuzz with clang in build-fuzz-plc/, seeds a corpus there and runs libFuzzer.
# First input byte 0: the rest is a description. Otherwise byte 0 picks the index group (mod 4: symbol info,
# type info, memory, unknown) and the command (bit 2: Read, else ReadWrite), bytes 1-2 the read length,
# the rest is the write data.
set -euo pipefail
area=plc
. "$(dirname "$0")/fuzz-common.sh"
fuzz_build --target KxPlcFuzz

# Seeds: the sample and records descriptions, small broken descriptions, and requests of every kind.
python3 - "$corpus" "$src/tests/data/plc" <<'PY'
import struct, sys, os
out, data = sys.argv[1], sys.argv[2]
def req(sel, rlen, body=b''): return bytes([sel]) + struct.pack('<H', rlen) + body
seeds = {
    'desc-empty-plc': b'\0<plc name="x"/>',
    'desc-bad-type': b'\0<plc><symbols><symbol name="a" type="ARRAY [5..1] OF INT"/></symbols></plc>',
    'desc-deep-alias': b'\0<plc><types>' + b''.join(b'<alias name="T%d" type="T%d"/>' % (i, i + 1) for i in range(40)) + b'</types></plc>',
    'desc-unclosed': b'\0<plc><types><struct name="S">',
    'syminfo': req(8, 1030, b'MAIN.aAxes[2].fSpeed\0'),
    'syminfo-short': req(8, 10, b'MAIN.nCycle'),
    'syminfo-multi': req(8, 1030, b'MAIN.aMatrix[1,2]'),
    'syminfo-nested': req(8, 1030, b'Logger.aNested[2][1]'),
    'syminfo-read': req(4, 64),
    'typeinfo': req(1, 4096, b'ST_Axis'),
    'typeinfo-len4': req(1, 4, b'ST_Recipe'),
    'memory-read': req(6, 512, struct.pack('<I', 0)),
    'memory-readwrite': req(2, 16, b'abcd'),
    'unknown-group': req(3, 8, b'x'),
}
for name in ('sample-machine.xml', 'records.xml'):
    path = os.path.join(data, name)
    if os.path.exists(path):
        with open(path, 'rb') as fh:
            seeds['desc-' + name] = b'\0' + fh.read()
for name, blob in seeds.items():
    with open(os.path.join(out, name), 'wb') as fh:
        fh.write(blob)
PY

fuzz_run -max_len=65536 -artifact_prefix="$build/"
