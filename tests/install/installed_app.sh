#!/bin/sh
# Installs the build into a scratch prefix and runs the installed application from a folder outside the
# source and build trees, with no HALVOREN_* variable set: it must find its plug-in and its example data
# beside itself.
# Usage: installed_app.sh CMAKE BUILD_DIR
set -eu
cmake=$1
build=$2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
for name in $(env | sed -n 's/^\(HALVOREN_[A-Za-z0-9_]*\)=.*/\1/p'); do
    unset "$name"
done

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

"$cmake" --install "$build" --prefix "$prefix" >"$scratch/install.log" || {
    cat "$scratch/install.log" >&2
    fail "cmake --install"
}
mkdir "$scratch/elsewhere"
cd "$scratch/elsewhere"

"$prefix/bin/halvoren" plugins >plugins.out 2>plugins.err || fail "halvoren plugins: $(cat plugins.err)"
grep -q "^  Halvoren.AtracsysTrackingSpryTrack  ($prefix/lib.*/halvoren/plugins/" plugins.out ||
    fail "the installed plug-in is not listed: $(cat plugins.out)"

"$prefix/bin/halvoren" stream --frames 5 >stream.out 2>stream.err || fail "halvoren stream: $(cat stream.err)"
for marker in 1200 1300 1400; do
    grep -q "^[0-9]*,atracsys-$marker,[a-z]*,[0-9.]*,.*,OK,0,[0-9]*," stream.out ||
        fail "no pose line of marker $marker: $(cat stream.out)"
done

# The example markers came from the installed data: without one of them, its poses are gone.
rm "$prefix"/share/halvoren/markers/tool.ini
"$prefix/bin/halvoren" stream --frames 1 >stream.out 2>stream.err || fail "halvoren stream: $(cat stream.err)"
grep -q ",atracsys-1200," stream.out || fail "no pose lines: $(cat stream.out)"
! grep -q ",atracsys-1400," stream.out || fail "markers not read from $prefix/share/halvoren"
echo "installed application runs from $prefix"
