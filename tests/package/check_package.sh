#!/usr/bin/env bash
# Builds the Debian package in the build tree, unpacks it into a temporary
# root, builds the README's host example against the installed headers with
# pkg-config, and runs it and the installed ipmi-inventory against the
# bundled default virtual server.
#   check_package.sh SOURCE_DIR BUILD_DIR TEST_PLUGIN_LIBRARY
set -euo pipefail
source_dir=$1 build_dir=$2 test_library=$3
server="$source_dir/vserver/servers/default.xml"
work=$(mktemp -d "${TMPDIR:-/tmp}/package-XXXXXX")
trap 'rm -rf "$work"' EXIT
fail() { echo "package check: $*" >&2; exit 1; }

(cd "$build_dir" && cpack -G DEB > "$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$build_dir"/package/ipmiinventory_*_amd64.deb)
# Read whole before matching: grep -q closing the pipe early would fail the
# pipeline under pipefail.
info=$(dpkg-deb --info "$deb")
grep -q "Depends: .*libxml2" <<< "$info" || fail "no dependency on libxml2 declared: $info"

root="$work/root"
dpkg -x "$deb" "$root"
libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for file in usr/bin/ipmi-inventory $libdir/libipmiinventory.so.1 $libdir/pkgconfig/ipmiinventory.pc \
    usr/include/ipmiinventory/inventory/Stage_IPMIInventory.h \
    usr/include/ipmiinventory/baseutils/DeviceInfo.h usr/share/man/man1/ipmi-inventory.1 \
    usr/share/ipmiinventory/ErrorCodes.xml usr/share/ipmiinventory/KvoIPMIConfig.xml \
    usr/share/ipmiinventory/98-secupdusb.rules var/lib/ipmiinventory/ErrorCodes.xml; do
  [ -e "$root/$file" ] || fail "missing from the package: /$file"
done
soname=$(objdump -p "$root/$libdir/libipmiinventory.so.1" | awk '/SONAME/{print $2}')
[ "$soname" = libipmiinventory.so.1 ] || fail "soname is '$soname'"

# The README's host example, built against the installed headers.
awk '/^```cpp$/{on=1; next} /^```$/{on=0} on' "$source_dir/README.md" > "$work/host.cpp"
export PKG_CONFIG_PATH="$root/$libdir/pkgconfig"
cflags=$(PKG_CONFIG_SYSROOT_DIR="$root" pkg-config --cflags ipmiinventory)
g++ -std=c++17 $cflags "$work/host.cpp" -ldl -o "$work/host" || fail "the host example does not build"

# It runs the test variant of the plug-in (the same objects with the virtual
# server inside); the production library would ask this machine.
mkdir "$work/run"
cp "$root"/usr/share/ipmiinventory/* "$work/run/"
output=$(cd "$work/run" && IPMI_INVENTORY_TEST_SERVER="$server" "$work/host" "$test_library")
grep -q "^25227 BIOS 2.19.1$" <<<"$output" || fail "host example output: $output"
grep -q "^2 selected$" <<<"$output" || fail "host example selection: $output"

# The installed program, with its default work directory in the unpacked root.
json=$("$root/usr/bin/ipmi-inventory" --virtual-server "$server" --format json 2>"$work/err.txt")
[ "$(grep -c '"deviceType"' <<<"$json")" -eq 12 ] || fail "installed ipmi-inventory printed: $json"
[ -s "$root/var/lib/ipmiinventory/IPMIInventoryLog.txt" ] ||
  fail "no plug-in log in the package's state directory"
grep -q "s of virtual time" "$work/err.txt" || fail "stderr: $(cat "$work/err.txt")"
echo "package: file list, host example and installed ipmi-inventory checked"
