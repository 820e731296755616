#!/usr/bin/env bash
# The documentation's checkers themselves, on small trees made here: each must
# pass a sound tree and report each planted fault by name (a broken link, a
# missing anchor, a sample shown changed, a sample no page shows, a guide page
# that opens without one, a vendored folder or a linked library missing from
# THIRD_PARTY_NOTICES).
set -euo pipefail
root=$1
python=${2:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
# expect NAME EXPECTED_STATUS PATTERN COMMAND...: the command exits so and, when
# it fails, prints a line matching PATTERN.
expect() {
  local name=$1 want=$2 pattern=$3
  shift 3
  local out got=0
  out=$("$@" 2>&1) || got=$?
  if [ "$got" -ne "$want" ] || { [ -n "$pattern" ] && ! grep -q -- "$pattern" <<<"$out"; }; then
    echo "FAIL: $name (status $got, wanted $want${pattern:+ and '$pattern'}):"
    sed 's/^/    /' <<<"$out"
    status=1
  fi
}

# Links and anchors.
links=$work/links
mkdir -p "$links/docs/sub"
cat >"$links/README.md" <<'MD'
# Front page
See [the guide](docs/guide.md#a-check-from-c-and-json), [its sub page](docs/sub/page.md),
[a folder](docs/sub/), [a site](https://example.com/nothing.md) and [here](#front-page).
```sh
echo "[not a link](nowhere.md)"
```
Inline `[not a link](nowhere.md)` either.
MD
cat >"$links/docs/guide.md" <<'MD'
# Guide
## A check from C++ and `JSON`
## Twice
## Twice
Back to [the twice heading](#twice-1) and [the front](../README.md#front-page); <a id="kept"></a>
MD
echo "# Page [up](../guide.md#kept)" >"$links/docs/sub/page.md"
expect "check-links passes a sound tree" 0 "" "$python" "$root/scripts/check-links.py" "$links"
cp -r "$links" "$work/links-file"
echo "[gone](docs/missing.md)" >>"$work/links-file/README.md"
expect "check-links reports a missing page" 1 "docs/missing.md: no such file" \
  "$python" "$root/scripts/check-links.py" "$work/links-file"
cp -r "$links" "$work/links-wrapped"
printf 'A link [wrapped across\nlines](docs/gone.md) is one link.\n' >>"$work/links-wrapped/docs/guide.md"
expect "check-links reports a broken link wrapped across lines" 1 "docs/gone.md: no such file" \
  "$python" "$root/scripts/check-links.py" "$work/links-wrapped"
cp -r "$links" "$work/links-anchor"
echo "[gone](docs/guide.md#twice-2)" >>"$work/links-anchor/README.md"
expect "check-links reports a missing anchor" 1 "no heading or anchor 'twice-2'" \
  "$python" "$root/scripts/check-links.py" "$work/links-anchor"
cp -r "$links" "$work/links-self"
echo "[gone](#no-such-heading)" >>"$work/links-self/docs/sub/page.md"
expect "check-links reports a missing anchor within a page" 1 "no heading or anchor 'no-such-heading'" \
  "$python" "$root/scripts/check-links.py" "$work/links-self"

# Samples shown exactly, every sample shown, guide pages opening with one.
tour=$work/tour
mkdir -p "$tour/examples/tour" "$tour/docs/guide"
printf 'int main() { return 0; }\n' >"$tour/examples/tour/a.cpp"
printf 'klpass --version\n' >"$tour/examples/tour/b.sh"
printf '# Front\n<!-- tour: a.cpp -->\n```cpp\nint main() { return 0; }\n```\n' >"$tour/README.md"
printf '# B\n\n<!-- tour: b.sh -->\n```sh\nklpass --version\n```\nThen:\n```sh\nklpass help\n```\n' >"$tour/docs/guide/b.md"
printf '# Index\n```sh\nno sample needed here\n```\n' >"$tour/docs/guide/README.md"
expect "tour.sh passes a sound tree" 0 "" bash "$root/tests/readme/tour.sh" "$tour"
cp -r "$tour" "$work/tour-changed"
printf 'klpass --help\n' >"$work/tour-changed/examples/tour/b.sh"
expect "tour.sh reports a sample shown changed" 1 "docs/guide/b.md (b.sh)" bash "$root/tests/readme/tour.sh" "$work/tour-changed"
cp -r "$tour" "$work/tour-unshown"
printf 'print(1)\n' >"$work/tour-unshown/examples/tour/c.py"
expect "tour.sh reports a sample no page shows" 1 "no page shows examples/tour/c.py" \
  bash "$root/tests/readme/tour.sh" "$work/tour-unshown"
cp -r "$tour" "$work/tour-missing"
printf '<!-- tour: gone.cpp -->\n```cpp\n```\n' >>"$work/tour-missing/README.md"
expect "tour.sh reports a marker without its file" 1 "shows gone.cpp, which is not in examples/tour/" \
  bash "$root/tests/readme/tour.sh" "$work/tour-missing"
cp -r "$tour" "$work/tour-opening"
printf '# C\n```sh\nklpass help\n```\n<!-- tour: b.sh -->\n```sh\nklpass --version\n```\n' >"$work/tour-opening/docs/guide/c.md"
expect "tour.sh reports a guide page that opens without a sample" 1 "docs/guide/c.md does not open with a sample" \
  bash "$root/tests/readme/tour.sh" "$work/tour-opening"

# THIRD_PARTY_NOTICES names every vendored folder and linked library.
notices=$work/notices
mkdir -p "$notices"
(cd "$root" && cp -r --parents LICENSE THIRD_PARTY_NOTICES README.md CMakeLists.txt web/CMakeLists.txt \
  web/package/package.json cmake/KLPasswordConfig.cmake.in cmake/klpassword.pc.in cmake/klpassword-c.pc.in \
  python/pyproject.toml third_party "$notices")
expect "notices.sh passes the tree" 0 "" bash "$root/tests/readme/notices.sh" "$notices"
cp -r "$notices" "$work/notices-folder"
mkdir "$work/notices-folder/third_party/newdata"
printf 'Some licence\n' >"$work/notices-folder/third_party/newdata/LICENSE"
expect "notices.sh reports a vendored folder it does not name" 1 "no heading for third_party/newdata" \
  bash "$root/tests/readme/notices.sh" "$work/notices-folder"
cp -r "$notices" "$work/notices-text"
printf '\nan added line\n' >>"$work/notices-text/third_party/zxcvbn/LICENSE"
expect "notices.sh reports a licence file not reproduced as shipped" 1 "does not reproduce third_party/zxcvbn/LICENSE" \
  bash "$root/tests/readme/notices.sh" "$work/notices-text"
cp -r "$notices" "$work/notices-lib"
printf 'pkg_check_modules(NEWLIB REQUIRED IMPORTED_TARGET libnew)\n' >>"$work/notices-lib/CMakeLists.txt"
expect "notices.sh reports a linked library it does not name" 1 "no library for pkg-config module libnew" \
  bash "$root/tests/readme/notices.sh" "$work/notices-lib"
exit $status
