#!/bin/sh
# check.sh HOST TOOL DATA WORK: runs the notify host on a copy of DATA in
# WORK while the tool, a plain mv and a sed -i change level files, and
# checks that it prints each change.
set -eu
host=$1 tool=$2 data=$3 work=$4
rm -rf "$work" && mkdir -p "$work" && cp -r "$data" "$work/data"
root=$work/data
"$host" "$root" 3 materials approved-materials > "$work/out" 2>&1 &
pid=$!
trap 'kill $pid 2>/dev/null || true' EXIT
i=0
until grep -q '^ready$' "$work/out"; do
    i=$((i + 1)); [ $i -lt 100 ] || { cat "$work/out"; exit 1; }
    sleep 0.1
done
expect() { # waits for the line to appear in the host's output
    i=0
    until grep -qx "$1" "$work/out"; do
        i=$((i + 1)); [ $i -lt 100 ] || { echo "missing: $1"; cat "$work/out"; exit 1; }
        sleep 0.1
    done
}
user=$root/user/Classification
"$tool" --root "$root" add materials clip steel --level user
expect 'changed materials (.*)'
cp "$user/approved-materials.xml" "$work/saved.xml"
sed -i 's/<relation>/<relation><source id="added"><classified id="x" \/><\/source>/' "$work/saved.xml"
mv "$work/saved.xml" "$user/approved-materials.xml"
expect 'changed approved-materials (.*)'
sed -i 's/id="clip"/id="clasp"/' "$user/materials.xml"
wait $pid
trap - EXIT
cat "$work/out"
[ "$(grep -c '^changed ' "$work/out")" -eq 3 ]
