#!/usr/bin/env bash
# SPDX-License-Identifier: MIT

# Checks a static quorvel, as built or in its release archive:
#
#   tests/static.sh PROGRAM           the bundled example gives its known image
#   tests/static.sh ARCHIVE NATIVE    the archive's layout, and the example and
#                                     generated listings give what the native
#                                     build NATIVE gives
#
# The program must be static and of the archive's architecture. It runs alone
# in an empty root (as root; a visible skip otherwise), under qemu-ARCH-static
# where it is not of this machine's architecture. Exits 77 when it cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() { echo "static: $*" >&2; exit 1; }
skip() { echo "static: SKIPPED: $*"; }

given=$1 native=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

arch=
case $given in
*.tar.gz)
    tar -xzf "$given" -C "$work"
    top=$work/$(basename "$given" .tar.gz)
    for path in bin/quorvel bin/quorvel-rom share/quorvel/rom.mk share/man/man1/quorvel.1 \
        share/man/man1/quorvel-rom.1 share/doc/quorvel/README.md share/doc/quorvel/REFERENCE.md \
        share/doc/quorvel/LICENSE share/doc/quorvel/LGPL-2.1 share/doc/quorvel/NOTICE \
        share/doc/quorvel/examples/Makefile; do
        [ -f "$top/$path" ] || fail "$path is not in $given"
    done
    # What is linked in, and where its source is.
    notice=$top/share/doc/quorvel/NOTICE
    grep -q 'GNU C Library' "$notice" && grep -q 'GCC Runtime Library Exception' "$notice" ||
        fail "the NOTICE does not name the libraries linked in"
    ! grep -q 'not from a Debian package' "$notice" || [ ! -x /usr/bin/dpkg-query ] ||
        fail "the NOTICE names no source package: $(cat "$notice")"
    grep -q 'LESSER GENERAL PUBLIC LICENSE' "$top/share/doc/quorvel/LGPL-2.1" ||
        fail "LGPL-2.1 is not the licence text"
    program=$top/bin/quorvel
    arch=${given##*-linux-} arch=${arch%.tar.gz}
    ;;
*) program=$given ;;
esac

said=$(file -b "$program")
grep -Eq 'static(-pie)? linked|statically linked' <<<"$said" || fail "not static: $said"
case $said in
*x86-64*) machine=x86_64 ;;
*aarch64*) machine=aarch64 ;;
*) fail "an architecture this check does not know: $said" ;;
esac
[ -z "$arch" ] || [ "$arch" = "$machine" ] || fail "$given holds a $machine program"
[ -z "$arch" ] || ! grep -q 'not stripped' <<<"$said" || fail "not stripped: $said"

root=$work/root
mkdir "$root"
cp "$program" "$root/quorvel"
run=(/quorvel)
if [ "$machine" != "$(uname -m)" ]; then
    emulator=$(command -v "qemu-$machine-static") || {
        skip "qemu-$machine-static (qemu-user-static) is not installed"
        exit 77
    }
    cp "$emulator" "$root/emulator"
    run=(/emulator /quorvel)
fi
if [ "$(id -u)" -eq 0 ]; then
    inroot() { chroot "$root" "${run[@]}" "$@"; }
else
    skip "not root: the program runs with this system's files around it"
    # Every path the root names, as it lies here.
    inroot() {
        local args=("${run[@]}" "$@")
        (cd "$root" && "${args[@]/#\//$root/}")
    }
fi

# The listings, beside the program in the root; with the native build, also
# generated ones: empty, past the 32768 words that wrap, and every kind of
# odd line.
cp examples/count.hack "$root/count.hack"
cp tests/data/count.hex "$work/count.hex"
names=(count)
if [ -n "$native" ]; then
    : >"$root/empty.hack"
    awk 'BEGIN { srand(7); for (i = 0; i < 40000; i++) { w = ""
        for (b = 0; b < 16; b++) w = w (rand() < 0.5 ? "0" : "1"); print w } }' >"$root/wrap.hack"
    printf '0000000000000111\r\n// comment\n\nloop:\n-1\n  101\n%070d\n1111111111111111' 1 \
        >"$root/odd.hack"
    names+=(empty wrap odd)
    for name in "${names[@]}"; do
        "$native" "$root/$name.hack" "$work/$name.hex" || fail "the native build failed on $name"
    done
fi
for name in "${names[@]}"; do
    inroot "/$name.hack" "/$name.hex" || fail "the static program failed on $name"
    cmp -s "$root/$name.hex" "$work/$name.hex" || fail "$name: the image differs"
done
# The messages come from the C library inside the program.
status=0
inroot /none.hack /none.hex 2>"$work/err" || status=$?
[ "$status" -eq 1 ] && [ "$(cat "$work/err")" = "fin fails: No such file or directory" ] ||
    fail "a missing listing gave status $status and: $(cat "$work/err")"
# Packed by a user who is not root, the archive holds only root's entries.
if [ -n "$native" ] && [ "$machine" = "$(uname -m)" ] && [ "$(id -u)" -eq 0 ] && [ -d .git ]; then
    chmod 711 "$work" && git clone -q . "$work/user/src" && chown -R 65534:65534 "$work/user"
    (cd "$work/user/src" && setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/user" \
        cmake --workflow --preset static) >"$work/user.log" 2>&1 || fail "a user's build failed: $(tail -5 "$work/user.log")"
    owners=$(tar --numeric-owner -tvzf "$work"/user/src/build/static/*.tar.gz | awk '{print $2}' | sort -u)
    [ "$owners" = 0/0 ] || fail "an archive built by a user holds entries of $owners"
elif [ -n "$native" ]; then
    skip "the archive is not built again by a user who is not root (not root, no checkout, or not native)"
fi
echo "static: $given ($machine) checked on ${#names[@]} listings"
