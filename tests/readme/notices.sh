#!/usr/bin/env bash
# LICENSE and THIRD_PARTY_NOTICES name what the library carries: every folder of
# third_party/ has its heading and every licence file it ships is reproduced
# there byte for byte; every library the build finds through pkg-config (and so
# links into the Windows DLL, scripts/windows-deps.sh) and every library linked
# into the WebAssembly module (web/CMakeLists.txt) has its heading; and the
# licence is named where a consumer looks: the README, the CMake package, both
# pkg-config files, the Python and npm packages' metadata.
set -euo pipefail
root=$1
notices=$root/THIRD_PARTY_NOTICES
status=0
fail() { echo "$*"; status=1; }

grep -q '^MIT License$' "$root/LICENSE" && grep -q '^Copyright (c) 2026 the KLPasswordSDK authors$' "$root/LICENSE" ||
  fail "LICENSE is not the MIT licence of the KLPasswordSDK authors"

for dir in "$root"/third_party/*/; do
  name=third_party/$(basename "$dir")
  grep -qxF "$name" "$notices" || fail "THIRD_PARTY_NOTICES has no heading for $name"
  while IFS= read -r -d '' file; do
    # The whole text, as one block of the notices (not merely its lines somewhere).
    /usr/bin/python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
      "$file" "$notices" || fail "THIRD_PARTY_NOTICES does not reproduce ${file#"$root"/} as shipped"
  done < <(find "$dir" -maxdepth 2 -type f \( -name 'LICENSE*' -o -name 'NOTICE*' -o -name 'THIRD_PARTY_LICENSES*' \) -print0)
done

modules=$(sed -n 's/.*pkg_check_modules([A-Z0-9_]* REQUIRED IMPORTED_TARGET \([^ )]*\)).*/\1/p' "$root/CMakeLists.txt")
[ -n "$modules" ] || fail "no pkg_check_modules found in CMakeLists.txt"
web=$(grep -o 'lib/lib[A-Za-z0-9_-]*\.a' "$root/web/CMakeLists.txt" | sed 's|lib/lib\(.*\)\.a|lib\1|')
[ -n "$web" ] || fail "no static library found in web/CMakeLists.txt"
for module in $modules $web; do
  grep -q "(pkg-config: $module)\$" "$notices" || fail "THIRD_PARTY_NOTICES names no library for pkg-config module $module"
done
grep -q "^3\. The WebAssembly module's runtime (emscripten)" "$notices" || fail "THIRD_PARTY_NOTICES lacks emscripten's runtime"

grep -q 'MIT' "$root/README.md" && grep -q '(LICENSE)' "$root/README.md" || fail "README.md does not name the licence"
grep -q 'set(KLPassword_LICENSE "MIT")' "$root/cmake/KLPasswordConfig.cmake.in" || fail "the CMake package does not name the licence"
for pc in klpassword.pc.in klpassword-c.pc.in; do
  grep -q '^# .*MIT licence' "$root/cmake/$pc" || fail "cmake/$pc does not name the licence"
done
grep -q 'install(FILES LICENSE THIRD_PARTY_NOTICES' "$root/CMakeLists.txt" || fail "cmake --install does not install LICENSE"
grep -q '^license = { text = "MIT" }' "$root/python/pyproject.toml" || fail "python/pyproject.toml does not say MIT"
grep -q '"license": "MIT"' "$root/web/package/package.json" || fail "web/package/package.json does not say MIT"
grep -q '"LICENSE"' "$root/web/package/package.json" || fail "the npm package does not ship LICENSE"
exit $status
