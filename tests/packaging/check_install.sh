#!/usr/bin/env bash
# The install rules put every file where the desktop and the loader look.
#   check_install.sh BUILD            cmake --install BUILD into a scratch prefix, then the checks
#   check_install.sh PREFIX UDEVDIR   the checks on an installed tree (tools/test-extra: the .deb's)
# Every miss is reported; the exit status is 1 if there was one.
set -uo pipefail
if [ $# -eq 1 ]; then
  stage="$(mktemp -d)"
  trap 'rm -rf "$stage"' EXIT
  cmake --install "$1" --prefix "$stage/usr" >/dev/null || exit 1
  set -- "$stage/usr" "$stage/usr/lib/udev/rules.d"
fi
prefix="$1" rule="$2/60-quellbar.rules" ok=0
exe="$prefix/bin/karvolen-viewer" desktop="$prefix/share/applications/karvolen-viewer.desktop"
icon="$prefix/share/icons/hicolor/32x32/apps/karvolen-viewer.png"
metainfo="$prefix/share/metainfo/org.example.karvolen.viewer.metainfo.xml"
man="$(find "$prefix/share/man/man1" -name 'karvolen-viewer.1*' 2>/dev/null | head -n 1)"
lib="$(find "$prefix" -name 'libmarlex.so.1' \( -type l -o -type f \) | head -n 1)"
expect() { eval "$1" >/dev/null 2>&1 || { echo "FAILED: $2" >&2; ok=1; }; }

expect '[ -x "$exe" ]' "missing $exe"
expect 'readelf -d "$lib" | grep -q "Library soname: \[libmarlex.so.1\]"' "no libmarlex.so.1 with that SONAME under $prefix"
for line in 'Name=Karvolen Remote Screen Software' 'Exec=karvolen-viewer' 'Icon=karvolen-viewer' 'Type=Application'; do
  expect 'grep -qx "$line" "$desktop"' "$desktop lacks '$line'"
done
expect 'grep -q "^Categories=..*;$" "$desktop"' "$desktop has no Categories"
expect 'file "$icon" | grep -q "PNG image data, 32 x 32"' "missing or wrong icon $icon"

# The device's ids, as the build read them: the rule tags exactly these, the
# AppStream data supports and provides exactly these, the manual page names them.
ids="$(dirname "$0")/../../link/quellbar_ids.cmake"
id() { sed -n "s/^set(QUELLBAR_$1 \([0-9a-f]\{4\}\))$/\1/p" "$ids"; }
list() { sort | xargs; }
vendor="$(id VENDOR_ID)" a="$(id PRODUCT_ID_A)" b="$(id PRODUCT_ID_B)"
want="$(printf '%s\n' "$vendor:$a" "$vendor:$b" | list)"
expect '[ -n "$vendor" ] && [ -n "$a" ] && [ -n "$b" ]' "no ids in $ids"
tagged="$(sed -n 's/.*ATTRS{idVendor}=="\(.*\)", ATTRS{idProduct}=="\(.*\)", TAG+="uaccess"$/\1:\2/p' "$rule" | list)"
expect '[ "$tagged" = "$want" ]' "$rule tags '$tagged' with uaccess, not '$want'"
aliases="$(sed -n 's/^ *<modalias>usb:v\(....\)p\(....\)d\*<\/modalias>$/\1:\2/p' "$metainfo" | tr A-F a-f | list)"
expect '[ "$aliases" = "$(printf "%s\n" $want $want | list)" ]' "$metainfo has the modaliases '$aliases', not '$want' twice"
expect 'zcat -f "$man" | grep -qx "The Quellbar is found by its USB vendor id $vendor and product id $a or $b\."' \
  "$man does not give the ids $vendor, $a, $b"
expect '[ ! -f "$rule" ] || ! grep -q MODE= "$rule"' "$rule sets a MODE"

# The program loads marlex with dlopen, so ldd says nothing: its RUNPATH,
# resolved by hand, leads to a marlex with the four exports whose own
# libraries the loader finds.
bindir="$(cd "$(dirname "$exe")" 2>/dev/null && pwd)"
runpath="$(readelf -d "$exe" 2>/dev/null | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')"
found=""
IFS=: read -r -a dirs <<<"$runpath"
for dir in "${dirs[@]}"; do
  dir="${dir//\$ORIGIN/$bindir}"
  dir="${dir//\$\{ORIGIN\}/$bindir}"
  [ -e "$dir/libmarlex.so.1" ] && found="$dir/libmarlex.so.1" && break
done
expect '[ -n "$found" ]' "RUNPATH '$runpath' of $exe does not lead to libmarlex.so.1"
for name in OpenCom CloseCom ReadCom WriteCom; do
  expect 'nm -D --defined-only "$found" | grep -qw "$name"' "the marlex the program finds does not export $name"
done
expect '! env -i PATH=/usr/bin:/bin ldd "$found" | grep -q "not found"' "the loader cannot load $found"
exit $ok
