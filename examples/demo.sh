#!/usr/bin/env bash
# The main job on the bundled sample data: demo.sh BUILD_DIR
# Copies examples/data to BUILD_DIR/demo-data (afresh each run), shows the two
# input classifications as the library merges their three levels, runs the
# sample module through the first entry point (`classify`, naming the sample
# by its file name, which the runtime finds beside the bridge library), and
# shows what it wrote. Each command is printed exactly as it runs, so that it
# can be pasted into the same shell afterwards; the copy stays for that.
set -euo pipefail
build=${1:?usage: demo.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
tool="$build/tools/vyr-classification"
if [ ! -x "$tool" ]; then
    echo "demo.sh: the tool is not built: $tool" >&2
    exit 1
fi
work="$build/demo-data"
rm -rf "$work"
mkdir -p "$work"
cp -R "$here/data/." "$work/"

if [ -t 1 ]; then bold=$'\033[1m' plain=$'\033[0m'; else bold='' plain=''; fi
step() { printf '\n%s== %s%s\n' "$bold" "$*" "$plain"; }
run() {
    local command=("$tool" --root "$work" "$@")
    local line
    printf -v line '%q ' "${command[@]}"
    printf '$ %s\n' "${line% }"
    "${command[@]}"
}

step "The parts' materials, merged from the sys, shared and user levels"
run show materials
step "Which level overrides which, with the files"
run overrides materials
step "Which materials are allowed (the filter)"
run show approved-materials
step "The classification run: keep the pairs whose material is allowed"
run classify materials --filter approved-materials --in user --out user --update approved-parts \
    --module VyrSampleClassification.dll
step "What the run wrote at the user level"
run show approved-parts
echo
printf 'The copy stays in %q: paste any line above to run it again, or try\n' "$work"
printf '  %q --root %q --help\n' "$tool" "$work"
