#!/bin/sh
# Builds the tool's manual page from its own help: help2man turns
# `vyr-classification --help` into the page, and each command's --help,
# taken from the command list of that same help, becomes one entry of its
# COMMANDS section. Nothing here is written by hand, so the page cannot drift
# from the tool.
#
# Usage: man-page.sh TOOL HELP2MAN OUTPUT
set -eu
tool=$1
help2man=$2
output=$3
include=$output.include

# Help text as roff inside .nf: backslashes and hyphens escaped, and a line
# that would start with a control character made plain.
roff() {
    sed -e 's/\\/\\e/g' -e 's/-/\\-/g' -e "s/^\([.']\)/\\\\\&\1/"
}

{
    echo '[COMMANDS]'
    "$tool" --help | sed -n '/^Subcommands:$/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p' | while read -r command; do
        echo ".SS \"$command\""
        echo '.nf'
        "$tool" "$command" --help | roff
        echo '.fi'
    done
} >"$include"

"$help2man" --no-info --section=1 --name="show and edit classification mapping files at their three levels" \
    --include="$include" --output="$output" "$tool"
rm -f "$include"
