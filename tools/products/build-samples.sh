#!/usr/bin/env bash
# Builds the sample product packages described in samples.json with wixl into OUT, and writes
# OUT/products.json for the stand-in web service.
#   tools/products/build-samples.sh OUT [--samples FILE] [--platform linux|windows]
set -euo pipefail
if [ $# -lt 1 ]; then
    echo "usage: $0 OUT [--samples FILE] [--platform linux|windows]" >&2
    exit 2
fi
exec python3 "$(dirname "$0")/build_samples.py" "$@"
