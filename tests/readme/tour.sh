#!/usr/bin/env bash
# The README and the pages of docs/ show every sample of examples/tour/ (C++,
# C, shell, Python and a web page, each built or run by the test suite) exactly
# as the file: each in the code block after its "<!-- tour: NAME -->" marker,
# fenced as its language (```cpp, ```c, ```sh, ```python, ```html); no marker
# names a file that is not there; every file is shown on some page; and every
# page of the user guide (docs/guide/*.md but its index) opens with such a
# sample: its first code block follows a marker, so that the first thing a
# reader tries is known to work.
set -euo pipefail
root=$1
cd "$root"
mapfile -t pages < <(printf '%s\n' README.md; find docs -name '*.md' | sort)

fence_of() {
  case $1 in
    *.cpp) echo '```cpp' ;; *.c) echo '```c' ;; *.sh) echo '```sh' ;; *.py) echo '```python' ;; *.html) echo '```html' ;;
    *) echo '```' ;;
  esac
}

# The lines of the code block that follows the marker for $2 in page $1 (the first such marker).
block() {
  awk -v marker="<!-- tour: $2 -->" -v fence="$(fence_of "$2")" '
    $0 == marker { found = 1; next }
    found && !inside && $0 == fence { inside = 1; next }
    found && !inside && /^```/ { exit }
    inside && $0 == "```" { exit }
    inside { print }' "$1"
}

status=0
declare -A shown=()
for page in "${pages[@]}"; do
  while read -r name; do
    if [ ! -f "examples/tour/$name" ]; then
      echo "$page shows $name, which is not in examples/tour/"
      status=1
    elif ! diff -u --label "$page ($name)" --label "examples/tour/$name" <(block "$page" "$name") "examples/tour/$name"; then
      status=1
    fi
    shown[$name]=1
  done < <(sed -n 's/^<!-- tour: \(.*\) -->$/\1/p' "$page")
done
for file in examples/tour/*.cpp examples/tour/*.c examples/tour/*.sh examples/tour/*.py examples/tour/*.html; do
  [ -e "$file" ] || continue
  name=$(basename "$file")
  [ -n "${shown[$name]:-}" ] || { echo "no page shows examples/tour/$name"; status=1; }
done

for page in docs/guide/*.md; do
  [ -e "$page" ] && [ "$(basename "$page")" != README.md ] || continue # the guide's index
  # The line before the first fence, blank lines skipped, must be a marker.
  before=$(awk '/^```/ { print last; exit } NF { last = $0 }' "$page")
  case $before in
    "<!-- tour: "*" -->") ;;
    *) echo "$page does not open with a sample of examples/tour/ (its first code block has no marker)"; status=1 ;;
  esac
done
exit $status
