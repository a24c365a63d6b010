#!/bin/sh
# Installs the build into a scratch prefix and runs the installed application from a folder outside the
# source and build trees, with no HALVOREN_* variable set: it must find its plug-in and its example data
# beside itself, name them in its help and versions, and come with its client and its documentation.
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

"$prefix/bin/halvoren" stream --frames 5 --record run.seq.mhd >stream.out 2>stream.err ||
    fail "halvoren stream: $(cat stream.err)"
for marker in 1200 1300 1400; do
    grep -q "^[0-9]*,atracsys-$marker,[a-z]*,[0-9.]*,.*,OK,0,[0-9]*," stream.out ||
        fail "no pose line of marker $marker: $(cat stream.out)"
done
# The installed driver, as the plug-in loads it, offers the replay control.
"$prefix/bin/halvoren" stream --replay run.seq.mhd --replay-speed max >replay.out 2>replay.err ||
    fail "halvoren stream --replay: $(cat replay.err)"
[ "$(wc -l <replay.out)" -eq "$(wc -l <stream.out)" ] || fail "the replay's poses: $(cat replay.out)"

"$prefix/bin/halvoren" --version >version.out 2>version.err || fail "halvoren --version: $(cat version.err)"
grep -q "^halvoren [0-9][0-9.]*$" version.out && grep -q "^host version [0-9][0-9.]*$" version.out &&
    grep -q "^plug-in Halvoren.AtracsysTrackingSpryTrack [0-9][0-9.]*$" version.out ||
    fail "versions: $(cat version.out)"
"$prefix/bin/halvoren" stream --help >help.out || fail "halvoren stream --help"
grep -q "default: $prefix/share/halvoren/markers/\*.ini)" help.out ||
    fail "the help does not name the installed markers: $(grep -e --marker help.out)"

# The client the documentation uses, under its installed name; it says when no server answers.
"$prefix/bin/halvoren-igtl-client" --help >client.out || fail "halvoren-igtl-client --help"
grep -q "^Usage: halvoren-igtl-client" client.out || fail "client usage: $(cat client.out)"

# The documentation, with every link of README into docs/ resolving beside it.
doc=$prefix/share/doc/halvoren
[ -f "$doc/README.md" ] && [ -f "$doc/docs/commands.md" ] && [ -f "$doc/docs/gui.png" ] ||
    fail "no documentation under $doc: $(ls -R "$prefix/share" | head -20)"
for link in $(grep -o '](docs/[^)#]*' "$doc/README.md" | cut -c3- | sort -u); do
    [ -f "$doc/$link" ] || fail "README links to $link, which is not installed"
done

# The example markers came from the installed data: without one of them, its poses are gone.
rm "$prefix"/share/halvoren/markers/tool.ini
"$prefix/bin/halvoren" stream --frames 1 >stream.out 2>stream.err || fail "halvoren stream: $(cat stream.err)"
grep -q ",atracsys-1200," stream.out || fail "no pose lines: $(cat stream.out)"
! grep -q ",atracsys-1400," stream.out || fail "markers not read from $prefix/share/halvoren"
echo "installed application runs from $prefix"
