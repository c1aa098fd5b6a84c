# Shared by the VM test and the VM benchmark: fetches the Debian kernel and
# busybox (cached under build/vm-cache), builds the initramfs around the
# release build, runs the controller model as qemu's external BMC and boots
# the VM. Every wait is bounded. Source it; it expects root (the repository)
# and build (the release build directory) to be set.

vm_cache="$root/build/vm-cache"
kernel_deb_name=""
kernel_version=""

die() {
  echo "vm test: $*" >&2
  exit 1
}

need_tools() {
  local tool
  for tool in qemu-system-x86_64 apt-get apt-cache dpkg-deb cpio gzip ldd cmake; do
    command -v "$tool" >/dev/null || die "$tool is missing; run scripts/setup"
  done
}

# Downloads a Debian package once (apt-get download); prints the .deb path.
fetch_deb() {
  local package=$1 found
  mkdir -p "$vm_cache/debs"
  found=$(find "$vm_cache/debs" -maxdepth 1 -name "${package}_*.deb" | head -n 1)
  if [ -z "$found" ]; then
    (cd "$vm_cache/debs" && timeout 600 apt-get download "$package" >/dev/null 2>&1) ||
      die "apt-get download $package failed (network or apt lists; try apt-get update)"
    found=$(find "$vm_cache/debs" -maxdepth 1 -name "${package}_*.deb" | head -n 1)
  fi
  [ -n "$found" ] || die "no package file for $package"
  echo "$found"
}

# Unpacks a package once; prints the directory.
unpack_deb() {
  local package=$1 deb target
  deb=$(fetch_deb "$package")
  target="$vm_cache/unpacked/$(basename "$deb" .deb)"
  if [ ! -e "$target/.done" ]; then
    rm -rf "$target"
    mkdir -p "$target"
    dpkg-deb -x "$deb" "$target" || die "cannot unpack $deb"
    touch "$target/.done"
  fi
  echo "$target"
}

# The kernel image package that linux-image-amd64 depends on.
find_kernel() {
  local listing
  if ! listing=$(apt-cache depends linux-image-amd64 2>/dev/null); then
    # No package lists yet (set-up found everything installed): fetch them.
    timeout 300 apt-get update >/dev/null 2>&1 || die "apt-get update failed"
    listing=$(apt-cache depends linux-image-amd64 2>/dev/null) ||
      die "apt-cache knows no linux-image-amd64"
  fi
  kernel_deb_name=$(awk '/Depends: linux-image-[0-9]/ { print $2; exit }' <<<"$listing")
  [ -n "$kernel_deb_name" ] || die "linux-image-amd64 names no kernel image package"
  kernel_version=${kernel_deb_name#linux-image-}
}

build_release() {
  if [ ! -e "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null ||
      die "cannot configure the release build in $build"
  fi
  cmake --build "$build" -j 2 --target ipmiinventory ipmi-inventory vm-bmc vm-bench >/dev/null ||
    die "the release build failed (cmake --build $build)"
}

# Copies every shared library that file links to the same paths under the
# initramfs root; further arguments are environment settings for ldd.
copy_libraries() {
  local staging=$1 file=$2 library
  shift 2
  while read -r library; do
    [ -n "$library" ] || continue
    mkdir -p "$staging$(dirname "$library")"
    [ -e "$staging$library" ] || cp -L "$library" "$staging$library"
  done < <(env "$@" ldd "$file" | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }')
}

# The kernel modules the plug-in and the guest need; builtin ones are skipped.
guest_modules=(ipmi_msghandler ipmi_devintf ipmi_si
  usb-common usbcore xhci-hcd xhci-pci
  scsi_common scsi_mod usb-storage sg
  sd_mod t10-pi crc-t10dif crct10dif_common crc64-rocksoft crc64
  fat vfat nls_cp437 nls_ascii)

copy_modules() {
  local staging=$1 kernel_root=$2 module path modules="lib/modules/$kernel_version"
  mkdir -p "$staging/$modules"
  cp "$kernel_root/$modules/modules.builtin" "$kernel_root/$modules/modules.order" "$staging/$modules/"
  for module in "${guest_modules[@]}"; do
    path=$(cd "$kernel_root" && find "$modules/kernel" -name "$module.ko" | head -n 1)
    if [ -z "$path" ]; then
      grep -q "/$module.ko\$" "$kernel_root/$modules/modules.builtin" ||
        die "kernel module $module is neither in $kernel_deb_name nor built in"
      continue
    fi
    mkdir -p "$staging/$(dirname "$path")"
    cp "$kernel_root/$path" "$staging/$path"
  done
}

# Builds the initramfs for a guest mode ("test" or "bench") into $1.
build_initramfs() {
  local initrd=$1 mode=$2 staging kernel_root busybox_root applet
  staging="$root/build/vm/$mode-root"
  kernel_root=$(unpack_deb "$kernel_deb_name")
  busybox_root=$(unpack_deb busybox-static)
  rm -rf "$staging"
  mkdir -p "$staging"/{bin,sbin,usr/bin,usr/sbin,proc,sys,dev,tmp,run,etc,var/lib}
  cp "$busybox_root/bin/busybox" "$staging/bin/busybox"
  while read -r applet; do
    [ "$applet" = bin/busybox ] || [ -e "$staging/$applet" ] || ln -s /bin/busybox "$staging/$applet"
  done < <("$busybox_root/bin/busybox" --list-full)
  copy_modules "$staging" "$kernel_root"
  "$busybox_root/bin/busybox" depmod -b "$staging" "$kernel_version" ||
    die "busybox depmod failed"
  # The plug-in as its package installs it, with the libraries it links.
  DESTDIR="$staging" cmake --install "$build" >/dev/null || die "cmake --install $build failed"
  local program
  for program in "$staging"/usr/bin/ipmi-inventory "$staging"/usr/lib/*/libipmiinventory.so.1; do
    copy_libraries "$staging" "$program"
  done
  cp "$build/tests/system/vm-bench" "$staging/usr/bin/vm-bench"
  copy_libraries "$staging" "$build/tests/system/vm-bench"
  if [ "$mode" = bench ]; then
    add_ipmitool "$staging"
  fi
  cp "$root/tests/system/guest-init" "$staging/init"
  chmod 755 "$staging/init"
  echo "$mode" >"$staging/etc/vmtest-mode"
  (cd "$staging" && find . -print0 | cpio --null -o -H newc --quiet | gzip -1) >"$initrd" ||
    die "cannot pack the initramfs"
}

# ipmitool from its Debian package, with the libraries it links (its own
# libfreeipmi from the package as well).
add_ipmitool() {
  local staging=$1 ipmitool_root freeipmi_root
  ipmitool_root=$(unpack_deb ipmitool)
  freeipmi_root=$(unpack_deb libfreeipmi17)
  mkdir -p "$staging/usr/bin"
  cp "$ipmitool_root/usr/bin/ipmitool" "$staging/usr/bin/ipmitool"
  copy_libraries "$staging" "$ipmitool_root/usr/bin/ipmitool" \
    LD_LIBRARY_PATH="$freeipmi_root/usr/lib/x86_64-linux-gnu"
  # libfreeipmi went in under its unpacked path: move it where it belongs.
  mkdir -p "$staging/usr/lib/x86_64-linux-gnu"
  cp -a "$staging$freeipmi_root/usr/lib/x86_64-linux-gnu/." "$staging/usr/lib/x86_64-linux-gnu/"
  rm -rf "$staging$root"
}

# Starts the controller model of description $1 as the external BMC,
# logging to $2, with further options; sets bmc_pid and bmc_port.
start_bmc() {
  local description=$1 log=$2 qmp=$3 out
  shift 3
  out="$(dirname "$log")/vm-bmc.out"
  # A unix socket path has room for 107 bytes.
  [ ${#qmp} -lt 100 ] || die "the QMP socket path $qmp is too long for a unix socket"
  rm -f "$out" "$qmp"
  TMPDIR="$(dirname "$log")" "$build/vm-bmc" --server "$description" --qmp "$qmp" --log "$log" \
    --accept-timeout 120 "$@" >"$out" 2>&1 &
  bmc_pid=$!
  local waited=0
  until grep -q '^listening on 127.0.0.1:' "$out" 2>/dev/null; do
    kill -0 "$bmc_pid" 2>/dev/null || die "vm-bmc did not start: $(cat "$out")"
    [ $waited -lt 100 ] || die "vm-bmc did not listen within 10 s"
    sleep 0.1
    waited=$((waited + 1))
  done
  bmc_port=$(sed -n 's/^listening on 127.0.0.1:\([0-9]*\)$/\1/p' "$out")
}

stop_bmc() {
  [ -n "${bmc_pid:-}" ] || return 0
  local waited=0
  while kill -0 "$bmc_pid" 2>/dev/null && [ $waited -lt 50 ]; do
    sleep 0.1
    waited=$((waited + 1))
  done
  kill "$bmc_pid" 2>/dev/null || true
  wait "$bmc_pid" 2>/dev/null || true
  bmc_pid=""
}

# Boots the VM on initrd $1 with the console into $2, for at most $3 s.
boot_vm() {
  local initrd=$1 console=$2 limit=$3 kernel_root qmp=$4
  kernel_root=$(unpack_deb "$kernel_deb_name")
  local status=0
  timeout --kill-after=10 "$limit" qemu-system-x86_64 -accel tcg -m 512 -nographic -no-reboot \
    -kernel "$kernel_root/boot/vmlinuz-$kernel_version" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1" \
    -chardev "socket,id=ipmi0,host=127.0.0.1,port=$bmc_port,reconnect=1" \
    -device ipmi-bmc-extern,id=bmc0,chardev=ipmi0 -device isa-ipmi-kcs,bmc=bmc0,irq=5 \
    -device qemu-xhci,id=xhci -qmp "unix:$qmp,server=on,wait=off" \
    </dev/null >"$console" 2>&1 || status=$?
  if [ $status -eq 124 ] || [ $status -eq 137 ]; then
    echo "vm test: the VM did not power off within $limit s" >&2
  fi
  return $status
}

# The text of block NAME of the console (between its BEGIN and END lines).
console_block() {
  awk -v name="$2" '
    $0 ~ "^VMTEST END " name "\r?$" { inside = 0 }
    inside { sub(/\r$/, ""); print }
    $0 ~ "^VMTEST BEGIN " name "\r?$" { inside = 1 }' "$1"
}

console_status() {
  sed -n "s/^VMTEST STATUS $2 \([0-9]*\).*/\1/p" "$1" | head -n 1
}
