#!/usr/bin/env bash
# The main job on the bundled sample data: demo.sh BUILD_DIR
# Copies examples/data to a temporary folder, shows the two input
# classifications as the library merges their three levels, runs the sample
# module through the first entry point (`classify`), and shows what it wrote.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
tool="$build/tools/vyr-classification"
if [ ! -x "$tool" ]; then
    echo "demo.sh: the tool is not built: $tool" >&2
    exit 1
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/vyr-demo.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -R "$here/data/." "$work/"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
run() {
    printf '$ vyr-classification %s\n' "$*"
    "$tool" --root "$work" "$@"
}

step "The parts' materials, merged from the sys, shared and user levels"
run show materials
step "Which materials are allowed (the filter)"
run show approved-materials
step "The classification run: keep the pairs whose material is allowed"
run classify materials --filter approved-materials --in user --out user --update approved-parts
step "What the run wrote at the user level"
run show approved-parts
echo
echo "Try it yourself on a copy: cp -R examples/data /tmp/mine && $tool --root /tmp/mine --help"
