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
# The service reads its settings from this store; log progress lines (level 2) and keep files in build/run.
if [ ! -f "$KX_REGISTRY_ROOT/KxRegistry.xml" ]; then
    cat > "$KX_REGISTRY_ROOT/KxRegistry.xml" <<XML
<?xml version="1.0"?>
<KxRegistry>
	<Key Name="HKLM">
		<Key Name="Software">
			<Key Name="Velmor">
				<Key Name="Korvex3">
					<Value Name="CurrentVersion" Type="SZ">3.1</Value>
					<Key Name="System">
						<Value Name="RunAsDevice" Type="DW">0</Value>
					</Key>
					<Key Name="3.1">
						<Value Name="BootDir" Type="SZ">$run/files/</Value>
						<Value Name="InstallDir" Type="SZ">$run/registry/</Value>
						<Value Name="UserPath1" Type="SZ">$run/files</Value>
					</Key>
				</Key>
				<Key Name="Korvex3 Functions">
					<Key Name="QM4410 XML Server">
						<Value Name="LogLevel" Type="DW">2</Value>
						<Value Name="XmlIdentSize" Type="DW">1</Value>
					</Key>
				</Key>
			</Key>
		</Key>
	</Key>
</KxRegistry>
XML
fi
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
