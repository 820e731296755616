#!/usr/bin/env bash
# The README shows every API tour sample (examples/tour/*.cpp, and *.c for the
# C interface) exactly as the file that the test suite builds and runs: each in
# the ```cpp (or ```c) block after its "<!-- tour: NAME -->" marker, and no
# marker without its file.
set -euo pipefail
root=$1
readme=$root/README.md

# The lines of the code block that follows the marker for $1.
block() {
  local fence='```cpp'
  [[ $1 == *.c ]] && fence='```c'
  awk -v marker="<!-- tour: $1 -->" -v fence="$fence" '
    $0 == marker { found = 1; next }
    found && !inside && $0 == fence { inside = 1; next }
    inside && $0 == "```" { exit }
    inside { print }' "$readme"
}

status=0
for file in "$root"/examples/tour/*.cpp "$root"/examples/tour/*.c; do
  name=$(basename "$file")
  if ! grep -qxF "<!-- tour: $name -->" "$readme"; then
    echo "README.md does not show examples/tour/$name"
    status=1
  elif ! diff -u --label "README.md ($name)" --label "examples/tour/$name" <(block "$name") "$file"; then
    status=1
  fi
done
while read -r name; do
  [ -f "$root/examples/tour/$name" ] || { echo "README.md shows $name, which is not in examples/tour/"; status=1; }
done < <(sed -n 's/^<!-- tour: \(.*\) -->$/\1/p' "$readme")
exit $status
