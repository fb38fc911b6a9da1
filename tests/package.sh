#!/bin/bash
# The Debian package of the command on this machine: built by CPack from the
# cli build, free of lintian errors, installed with apt, used (its version,
# one show on the sample, its manual page, its completion), and purged
# again leaving none of its files behind. Needs root.
#   tests/package.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export DEBIAN_FRONTEND=noninteractive
if dpkg -s voskarelle >/dev/null 2>&1; then
    apt-get purge -y -qq voskarelle >/dev/null
fi
(cd build/cli && rm -f voskarelle_*.deb && cpack -G DEB >/dev/null 2>&1)
deb=$(ls build/cli/voskarelle_*.deb)
if ! lintian --fail-on error "$deb" >"$root/build/cli/lintian.log" 2>&1; then
    grep -v 'running with root privileges' "$root/build/cli/lintian.log" >&2
    echo "package: lintian reports errors" >&2
    exit 1
fi
apt-get install -y -qq "./$deb" >/dev/null
files=$(dpkg -L voskarelle | while read -r path; do [ -f "$path" ] && echo "$path"; done)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
check() { # what, command...
    local what=$1
    shift
    if ! "$@" >"$work/out" 2>&1; then
        echo "package: $what failed:" >&2
        cat "$work/out" >&2
        failed=1
    fi
}
check "the installed voskarelle --version" sh -c '/usr/bin/voskarelle --version | grep -q "^voskarelle "'
bash scripts/make-sample.sh "$work/sample" >/dev/null
check "show on the sample" /usr/bin/voskarelle show "$work/sample/clone.img#3:/Windows/System32/config/SYSTEM" \
    --disk "$work/sample/clone.img"
check "man -w voskarelle" sh -c 'man -w voskarelle | grep -q "/usr/share/man/man1/voskarelle.1.gz"'
check "the completion of 'voskarelle f'" bash -c '. /usr/share/bash-completion/completions/voskarelle
    COMP_WORDS=(voskarelle f); COMP_CWORD=1; _voskarelle; [[ " ${COMPREPLY[*]} " == *" fix "* ]]'
apt-get purge -y -qq voskarelle >/dev/null
for path in $files; do
    if [ -e "$path" ]; then
        echo "package: $path is left after the purge" >&2
        failed=1
    fi
done
[ "$failed" -eq 0 ] && echo "package: $(basename "$deb") built, installed, used and purged"
exit $failed
