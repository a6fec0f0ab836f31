#!/usr/bin/env bash
# Builds the install benchmarks' package: MIB MiB of payload, three quarters random (stored as
# is in the cabinet), a quarter compressible text, all in Program Files/Orrel/TessalineBenchmark-1.0.
#   bench/make-payload-package.sh OUT.msi MIB
set -euo pipefail
OUT=$1
PAYLOAD_MIB=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tess-payload.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/src/payload"
QUARTER=$((PAYLOAD_MIB * 1024 * 1024 / 4))
for i in 1 2 3; do
    head -c "$QUARTER" /dev/urandom > "$WORK/src/payload/data$i.bin"
done
yes "Tessaline renders this line of sample text over and over $RANDOM" | head -c "$QUARTER" > "$WORK/src/payload/text.log" || true
cat > "$WORK/src/product.wxs" <<'WXS'
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Tessaline Benchmark Payload" Language="1033" Version="1.0.0" Manufacturer="Orrel" UpgradeCode="6C1F0A52-63A4-4F4B-9A55-0D7E1A6C2B11">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        <Directory Id="Orrel" Name="Orrel">
          <Directory Id="Bench" Name="TessalineBenchmark-1.0">
            <Component Id="c1" Guid="2B0E5C0E-2D1C-4C53-9F51-0E8C5D1B7A01" Win64="yes"><File Id="f1" Source="payload/data1.bin" KeyPath="yes"/></Component>
            <Component Id="c2" Guid="2B0E5C0E-2D1C-4C53-9F51-0E8C5D1B7A02" Win64="yes"><File Id="f2" Source="payload/data2.bin" KeyPath="yes"/></Component>
            <Component Id="c3" Guid="2B0E5C0E-2D1C-4C53-9F51-0E8C5D1B7A03" Win64="yes"><File Id="f3" Source="payload/data3.bin" KeyPath="yes"/></Component>
            <Component Id="c4" Guid="2B0E5C0E-2D1C-4C53-9F51-0E8C5D1B7A04" Win64="yes"><File Id="f4" Source="payload/text.log" KeyPath="yes"/></Component>
          </Directory>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="c1"/><ComponentRef Id="c2"/><ComponentRef Id="c3"/><ComponentRef Id="c4"/></Feature>
  </Product>
</Wix>
WXS
echo "building a package with ${PAYLOAD_MIB} MiB of payload (wixl)..." >&2
(cd "$WORK/src" && wixl -a x64 -o "$OUT" product.wxs)
