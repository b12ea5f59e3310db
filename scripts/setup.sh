#!/usr/bin/env bash
# Installs what building and testing KxXmlDataSrv needs on a Debian machine (run as root); dpkg-dev lets
# cpack work out the Debian package's dependencies.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libpugixml-dev libgtest-dev libgmock-dev libbenchmark-dev uuid-dev openssl dpkg-dev)
missing=()
for p in "${pkgs[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y "${missing[@]}"
fi
