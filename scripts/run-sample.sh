#!/usr/bin/env bash
# Installs what is missing, builds, and runs the XML data server with a simulated PLC from the sample
# machine description. The router's TCP link listens on 127.0.0.1:${KX_ROUTER_PORT:-10650}.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build build -j2 --target KxXmlDataSrv kxxml

# A private configuration store and log folder, so nothing outside build/run is touched.
run="$top/build/run"
mkdir -p "$run/registry" "$run/Functions/QM4410-XML-Server" "$run/files"
export KX_REGISTRY_ROOT="$run/registry"
export KX_ROUTER_PORT="${KX_ROUTER_PORT:-10650}"
export KX_PLC="${KX_PLC:-$top/tests/data/plc/sample-machine.xml}"

cat <<MSG
The XML data server runs with the simulated PLC of $KX_PLC.
Log file: $run/Functions/QM4410-XML-Server/KxXmlDataSrv.log
In a second shell, try:
  build/tools/kxxml/kxxml state
  build/tools/kxxml/kxxml store --create MAIN.aAxes $run/files/axes.xml
  sed -i 's/<fSpeed>12.5</<fSpeed>99</' $run/files/axes.xml
  build/tools/kxxml/kxxml restore MAIN.aAxes $run/files/axes.xml
  build/tools/kxxml/kxxml plc read 'MAIN.aAxes[1].fSpeed'
Stop the service with Ctrl-C.
MSG
exec build/KxXmlDataSrv/KxXmlDataSrv
