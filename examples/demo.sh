#!/usr/bin/env bash
# Runs the demo host from a build folder: demo.sh BUILD_DIR
# The host works in a fresh folder inside the build folder, seeded with the
# sample data of examples/data when there is any.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
host="$build/examples/host/vyr-demo-host"
if [ ! -x "$host" ]; then
    echo "demo host not built: $host" >&2
    exit 1
fi
work="$(cd "$build" && pwd)/demo-data"
rm -rf "$work"
mkdir -p "$work"
if [ -d "$here/data" ]; then
    cp -R "$here/data/." "$work/"
fi
"$host" "$work"
