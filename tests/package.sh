#!/usr/bin/env bash
# SPDX-License-Identifier: MIT

# Checks the Debian package built by `cmake --workflow --preset package`: its
# control fields, the paths it installs, and that the binary it installs
# converts the bundled example.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "package: $*" >&2; exit 1; }

debs=(build/package/quorvel_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one .deb in build/package"
deb=${debs[0]}
version=$(sed -n 's/^project(quorvel VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ "$(basename "$deb")" = "quorvel_${version}_$(dpkg --print-architecture).deb" ] ||
    fail "unexpected file name $deb"

[ "$(dpkg-deb -f "$deb" Package)" = quorvel ] || fail "Package field"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "Version field"
[ "$(dpkg-deb -f "$deb" Section)" = devel ] || fail "Section field"
[ -n "$(dpkg-deb -f "$deb" Maintainer)" ] || fail "no Maintainer"
dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "Depends does not name libc6"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 1 ] || fail "no long description"

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/bin/quorvel ./usr/share/man/man1/quorvel.1.gz; do
    grep -qx "$path" <<<"$contents" || fail "$path is not in the package"
done

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
gzip -t "$root/usr/share/man/man1/quorvel.1.gz" || fail "manual page is not gzipped"
"$root/usr/bin/quorvel" examples/count.hack "$root/count.hex" || fail "installed binary failed"
cmp -s "$root/count.hex" tests/data/count.hex || fail "installed binary gave a wrong image"
echo "package: $deb checked"
