#!/bin/sh
# The manual page renders without a single groff warning and names every
# option that the program's own usage names.
set -eu
program=$1
page=$2
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
    printf 'groff warns about %s:\n%s\n' "$page" "$warnings"
    exit 1
fi
text=$(sed 's/\\-/-/g' "$page")
missing=0
for option in $("$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u) -V -h; do
    if ! printf '%s\n' "$text" | grep -q -- "$option"; then
        echo "the manual page does not name $option"
        missing=$((missing + 1))
    fi
done
[ "$missing" -eq 0 ]
