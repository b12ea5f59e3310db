#!/usr/bin/env bash
# The Debian package as it is shipped: built with cpack, unpacked with dpkg-deb -x into a temporary root, and
# run from there with the sample PLC and the packaged configuration store (its paths moved into the root);
# kxxml state, store and diff work against it. The postinst puts the store in place only when there is none.
#   PackageTest.sh <build folder> <cpack>
set -euo pipefail
build=$1
cpack=${2:-cpack}
tmp=$(mktemp -d)
pid=
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    [ -f "$tmp/service.err" ] && { echo "--- service stderr:" >&2; cat "$tmp/service.err" >&2; }
    exit 1
}

# Build the package.
if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1; then
    cat "$tmp/cpack.log" >&2
    fail "cpack could not build the package"
fi
deb=$(ls "$tmp"/pkg/kxxmldatasrv_*.deb)
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -f "$deb" Depends | grep -q pugixml || fail "the package does not depend on pugixml"

# Unpack it and look at what it holds.
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$tmp/control"
for f in usr/sbin/KxXmlDataSrv usr/bin/kxxml usr/bin/KxPlcSim usr/lib/kxxmldatasrv/libKxSystem.so \
         usr/lib/systemd/system/kxxmldatasrv.service etc/default/kxxmldatasrv \
         usr/share/kxxmldatasrv/KxRegistry.xml usr/share/kxxmldatasrv/sample-machine.xml; do
    [ -f "$root/$f" ] || fail "the package lacks /$f"
done
unit="$root/usr/lib/systemd/system/kxxmldatasrv.service"
for line in Type=simple KillSignal=SIGTERM Restart=on-failure EnvironmentFile=-/etc/default/kxxmldatasrv \
            ExecStart=/usr/sbin/KxXmlDataSrv User=kxxmldatasrv ProtectSystem=strict ProtectHome=yes PrivateTmp=yes \
            NoNewPrivileges=yes \
            "ReadWritePaths=/var/lib/kxxmldatasrv /var/backups/kxxmldatasrv /var/log/kxxmldatasrv"; do
    grep -qxF "$line" "$unit" || fail "the unit lacks the line $line"
done
grep -qxF /etc/default/kxxmldatasrv "$tmp/control/conffiles" || fail "/etc/default/kxxmldatasrv is no conffile"

# The postinst installs the default store once and then leaves it alone. User, owners and systemd are the
# machine's business, not this test's: stand-ins answer for them.
mkdir -p "$tmp/stubs"
for tool in getent chown systemctl useradd; do
    printf '#!/bin/sh\nexit 0\n' > "$tmp/stubs/$tool"
    chmod +x "$tmp/stubs/$tool"
done
store="$root/etc/kxxmldatasrv/KxRegistry.xml"
PATH="$tmp/stubs:$PATH" DPKG_ROOT="$root" sh "$tmp/control/postinst" configure ""
cmp -s "$store" "$root/usr/share/kxxmldatasrv/KxRegistry.xml" || fail "postinst did not install the default store"
[ -d "$root/var/lib/kxxmldatasrv/files" ] && [ -d "$root/var/log/kxxmldatasrv/Functions/QM4410-XML-Server" ] ||
    fail "postinst did not make the data and log folders"
echo "<!-- changed by the operator -->" >> "$store"
cp "$store" "$tmp/store.changed"
PATH="$tmp/stubs:$PATH" DPKG_ROOT="$root" sh "$tmp/control/postinst" configure "3.2.37"
cmp -s "$store" "$tmp/store.changed" || fail "postinst replaced an existing store"

# The packaged store, its folders moved into the root.
reg="$tmp/registry"
mkdir -p "$reg"
sed -e "s|/var/|$root/var/|g" "$root/usr/share/kxxmldatasrv/KxRegistry.xml" > "$reg/KxRegistry.xml"

# A port nothing listens on, below the ports the kernel hands out to connecting sockets: a test running beside
# this one may hold any of those for a connection, and the service could not listen there.
low=$(cut -f1 /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || echo 32768)
[ "$low" -gt 11000 ] 2>/dev/null || low=32768
port=
for _ in $(seq 1 50); do
    p=$((10000 + RANDOM % (low - 10000)))
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
        port=$p
        break
    fi
done
[ -n "$port" ] || fail "no free TCP port"

env -u LD_LIBRARY_PATH KX_REGISTRY_ROOT="$reg" KX_ROUTER_PORT="$port" \
    KX_PLC="$root/usr/share/kxxmldatasrv/sample-machine.xml" \
    "$root/usr/sbin/KxXmlDataSrv" >"$tmp/service.out" 2>"$tmp/service.err" </dev/null &
pid=$!
kxxml() { env -u LD_LIBRARY_PATH KX_ROUTER="127.0.0.1:$port" "$root/usr/bin/kxxml" "$@"; }

# Ready once it answers that it runs (it answers "init" while Init and Start are under way); the sleep is the
# poll interval, not a synchronisation.
deadline=$((SECONDS + 60))
out=
until out=$(kxxml state 2>/dev/null) && [ "$out" = "state 5 (run)" ]; do
    kill -0 "$pid" 2>/dev/null || fail "the service ended at start-up"
    [ $SECONDS -lt $deadline ] || fail "the service did not reach run within 60 s: kxxml state printed '$out'"
    sleep 0.1
done

file="$root/var/lib/kxxmldatasrv/files/axes.xml"
kxxml -q store --create MAIN.aAxes "$file" || fail "kxxml store failed"
out=$(kxxml diff MAIN.aAxes "$file") || fail "kxxml diff of a fresh file: exit $? ($out)"
[ "$out" = "no differences" ] || fail "kxxml diff of a fresh file printed '$out'"
sed -i 's|<fSpeed>12.5</fSpeed>|<fSpeed>99</fSpeed>|' "$file"
set +e
out=$(kxxml diff MAIN.aAxes "$file")
rc=$?
set -e
[ $rc -eq 1 ] || fail "kxxml diff of an edited file: exit $rc"
[ "$out" = "MAIN.aAxes[1].fSpeed: 12.5 -> 99" ] || fail "kxxml diff of an edited file printed '$out'"
compgen -G "$root/var/log/kxxmldatasrv/Functions/QM4410-XML-Server/KxXmlDataSrv*.log" >/dev/null ||
    fail "the service opened no log where the packaged store puts it"

kill -TERM "$pid"
set +e
wait "$pid"
rc=$?
set -e
pid=
[ $rc -eq 0 ] || fail "the service ended with $rc on SIGTERM"
echo "package $(basename "$deb"): unpacked, the service ran from it, kxxml state and diff answered"
