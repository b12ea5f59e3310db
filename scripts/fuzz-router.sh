#!/usr/bin/env bash
# Fuzzes the router link's frame decoder for a bounded time (default 120 s). Not part of CI.
#   scripts/fuzz-router.sh [seconds]
# Builds RouterFrameFuzz with clang in build-fuzz-router/, seeds a corpus there and runs libFuzzer.
set -euo pipefail
area=router
. "$(dirname "$0")/fuzz-common.sh"
fuzz_build --target RouterFrameFuzz

# Seeds: the kinds of frames the link tests send (requests, answers, link commands, broken ones).
python3 - "$corpus" <<'PY'
import struct, sys, os
out = sys.argv[1]
def frame(cmd, flags, inv, err, body):
    hdr = struct.pack('<HHII', cmd, flags, inv, err) + bytes([5, 6, 7, 8, 1, 1]) + struct.pack('<H', 851) \
        + bytes([5, 6, 7, 8, 1, 1]) + struct.pack('<H', 30000)
    return struct.pack('<I', 28 + len(body)) + hdr + body
seeds = {
    'read': frame(2, 0, 1, 0, struct.pack('<III', 0x4020, 0, 256)),
    'write': frame(1, 0, 2, 0, struct.pack('<III', 0x4020, 4, 3) + b'abc'),
    'readwrite': frame(3, 0, 3, 0, struct.pack('<IIII', 0xF009, 0, 64, 7) + b'MAIN.x\0'),
    'writecontrol': frame(4, 0, 4, 0, struct.pack('<HHI', 5, 0, 1) + b'z'),
    'readstate': frame(5, 0, 5, 0, b''),
    'devinfo-answer': frame(6, 1, 6, 0, struct.pack('<BBHH', 3, 2, 38, 4) + b'name'),
    'addnotif': frame(7, 0, 7, 0, struct.pack('<IIIIII', 1, 2, 4, 3, 0, 100)),
    'delnotif': frame(8, 0, 8, 0, struct.pack('<I', 9)),
    'notif': frame(9, 0, 9, 0, struct.pack('<I', 2) + b'xy'),
    'hello': frame(0x100, 0, 10, 0, b''),
    'register': frame(0x101, 0, 11, 0, b''),
    'error-answer': frame(3, 1, 12, 0x710, b''),
    'read-answer': frame(2, 1, 13, 0, struct.pack('<I', 2) + b'ok'),
    'two-frames': frame(5, 0, 14, 0, b'') + frame(2, 1, 15, 0, struct.pack('<I', 0)),
    'oversized': struct.pack('<I', 16 * 1024 * 1024 + 1) + b'\0' * 28,
    'short-read': frame(2, 0, 16, 0, struct.pack('<II', 1, 2)),
}
for name, data in seeds.items():
    with open(os.path.join(out, name), 'wb') as f:
        f.write(data)
PY

fuzz_run -max_len=4096
