#!/bin/bash
# The bash completion offers exactly the verbs, the options of each verb and
# the bus names of the program's own usage, and completes a verb.
#   tests/completion.sh PROGRAM COMPLETION-FILE
set -eu
program=$1
. "$2"
usage=$("$program" --help)
failed=0
# Each verb's lines of the usage: its own line and the lines indented under it.
verbs=$(printf '%s\n' "$usage" | sed -n 's/^\(usage:\)\? *voskarelle \([a-z][a-z-]*\) .*/\2/p' | sort -u)
sorted() { tr ' ' '\n' | grep -v '^$' | sort -u; }
if [ "$(printf '%s\n' $verbs | sort -u)" != "$(printf '%s\n' $_voskarelle_verbs | sorted)" ]; then
    echo "verbs: usage has $(echo $verbs), the completion $_voskarelle_verbs"
    failed=1
fi
for verb in $verbs; do
    options=$(printf '%s\n' "$usage" | awk -v verb="$verb" '
        /^(usage:)? *voskarelle / { on = ($0 ~ ("voskarelle " verb " ")) ; if (on) print; next }
        /^  [A-Z-]/ { on = 0 }
        on && /^                    / { print }' | grep -o -- '--[a-z][a-z-]*' | sort -u)
    completed=$(_voskarelle_options "$verb" | sorted)
    if [ "$options" != "$completed" ]; then
        echo "options of $verb: usage has $(echo $options), the completion $(echo $completed)"
        failed=1
    fi
done
buses=$(printf '%s\n' "$usage" | sed -n 's/^  BUS *\(.*\) or \([a-z]*\):.*/\1, \2/p' | tr -d ',' | sorted)
if [ "$buses" != "$(echo $_voskarelle_buses | sorted)" ]; then
    echo "buses: usage has $(echo $buses), the completion $_voskarelle_buses"
    failed=1
fi
COMP_WORDS=(voskarelle f)
COMP_CWORD=1
_voskarelle
if [ "${COMPREPLY[*]}" != "fix" ]; then
    echo "voskarelle f completes to: ${COMPREPLY[*]}"
    failed=1
fi
exit $failed
