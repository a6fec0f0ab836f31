#!/usr/bin/env bash
# Builds the install benchmarks' package: MIB MiB of payload, three quarters random (stored as
# is in the cabinet), a quarter compressible text, all in Program Files/Orrel/TessalineBenchmark-1.0.
#   bench/make-payload-package.sh OUT.msi MIB
set -euo pipefail
OUT=$1
PAYLOAD_MIB=$2
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tess-payload.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
QUARTER=$((PAYLOAD_MIB * 1024 * 1024 / 4))
FOLDER=Orrel/TessalineBenchmark-1.0
for i in 1 2 3; do
    head -c "$QUARTER" /dev/urandom > "$WORK/data$i.bin"
done
yes "Tessaline renders this line of sample text over and over $RANDOM" | head -c "$QUARTER" > "$WORK/text.log" || true
echo "building a package with ${PAYLOAD_MIB} MiB of payload (wixl)..." >&2
python3 "$(dirname "$0")/../tools/products/build_samples.py" --package "$OUT" \
    --name "Tessaline Benchmark Payload" \
    "$FOLDER/data1.bin=$WORK/data1.bin" "$FOLDER/data2.bin=$WORK/data2.bin" \
    "$FOLDER/data3.bin=$WORK/data3.bin" "$FOLDER/text.log=$WORK/text.log"
