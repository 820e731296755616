#!/bin/sh
# Cross-platform check of the file formats:
#   interop-check.sh WORK LINUX-TOOL WINDOWS-RUNNER...
# WINDOWS-RUNNER is the command that runs the Windows build of the tool (the
# Wine runner followed by the .exe). Each build writes its files; each
# verifies the other's; every file but the pass store (which records when its
# records were made) must be byte-identical.
set -eu
work=$1
linux=$2
shift 2
rm -rf "$work"
mkdir -p "$work/linux" "$work/windows"
"$linux" write "$work/linux"
"$@" write "$work/windows"
"$linux" verify "$work/windows"
"$@" verify "$work/linux"
for f in storage-plain.kls storage-encrypted.kls users.txt; do
  if ! cmp "$work/linux/$f" "$work/windows/$f"; then
    echo "interop: $f differs between the builds" >&2
    exit 1
  fi
done
echo "interop: Linux and Windows files load in each other's build; plain saves are byte-identical"
