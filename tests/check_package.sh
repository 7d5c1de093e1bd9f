#!/bin/sh
# The Debian package from a build: its file list, the serialslots command run
# from an extracted copy, and lintian, where installed, with no error.
set -eu
build=$1
expected=$2
command -v dpkg-deb >/dev/null || { echo "no dpkg-deb: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >/dev/null)
deb=$(ls "$work"/serialslots_*.deb)
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$' | sort >"$work/files"
diff "$expected" "$work/files"
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/serialslots" --help | grep -q "^usage: "
"$work/root/usr/bin/serialslots" list | grep -q "^DEVICE "
if command -v lintian >/dev/null; then
  lintian --fail-on error "$deb"
fi
echo "package ok: $(basename "$deb")"
