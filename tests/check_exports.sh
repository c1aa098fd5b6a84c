#!/usr/bin/env bash
# Fails when the plug-in library exports anything but the two entry points
# and the Kvo classes, or when an entry point is missing or mangled.
set -euo pipefail
lib=$1
classes='KvoIPMIInterfaceImpl|KvoString|KvoLogger|KvoLoggingOptions|KvoFile|KvoFileUtil|KvoTime|KvoGUID|KvoEnvironmentInfo'
allowed="^((typeinfo for |typeinfo name for |vtable for )?($classes)(::.*)?|GetInventory|GetSelectiveInventory)$"

raw=$(nm -D --defined-only "$lib" | awk '{print $3}')
for entry in GetInventory GetSelectiveInventory; do
  if ! grep -qx "$entry" <<<"$raw"; then
    echo "missing plain export: $entry"
    exit 1
  fi
done

bad=$(nm -D --defined-only -C "$lib" | cut -d' ' -f3- | grep -Ev "$allowed" || true)
if [ -n "$bad" ]; then
  echo "unexpected exports:"
  echo "$bad"
  exit 1
fi
echo "exports of $(basename "$lib") are the entry points and the Kvo classes"
