#!/usr/bin/env bash
# The Debian packages as a user gets them: builds libklpassword1,
# libklpassword-dev, klpass and python3-klpassword from debian/ with
# dpkg-buildpackage (no tests or benchmarks in the package build), checks them
# with lintian (no error allowed), installs them with apt-get, runs the
# consumer projects of tests/consumer against what they installed, and then
# purges every package the install added, so that the machine is left as it
# was found. Refuses to run where any of the four is installed already.
# Usage: scripts/test-packages.sh   (KL_DEB_JOBS: parallel jobs, default 2;
# KL_DEB_BUILD: build folder, default build/deb)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${KL_DEB_BUILD:-$root/build/deb}
packages=(libklpassword1 libklpassword-dev klpass python3-klpassword)
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
start=$SECONDS

installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}\n' 2>/dev/null | awk '$1 ~ /^.i/ {print $2}' | sort; }
for p in "${packages[@]}"; do
  if installed | grep -qx "$p"; then
    echo "test-packages: $p is installed already; remove it first (this test leaves the machine as found)" >&2
    exit 2
  fi
done
for tool in dpkg-buildpackage dh lintian; do
  command -v "$tool" >/dev/null || { echo "test-packages: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done

# A copy of the tree as git sees it (tracked and new files, nothing ignored),
# so that the package build never writes into the working tree. It stays at
# one path under the tree, so that ccache (CCACHE_BASEDIR) hits on a rerun.
src=$out/klpassword-1.0.0
rm -rf "$out"
mkdir -p "$src"
git ls-files -z -co --exclude-standard | grep -zv '^build/' | tar --null -T - -cf - | tar -xf - -C "$src"
# shellcheck source=scripts/ccache.sh
. scripts/ccache.sh
if [ -n "${CCACHE_BASEDIR:-}" ] && [[ $src != "$CCACHE_BASEDIR"/* ]]; then export CCACHE_BASEDIR=$out; fi

echo "== dpkg-buildpackage"
(cd "$src" && DEB_BUILD_OPTIONS="nocheck noddebs parallel=${KL_DEB_JOBS:-2}" \
  dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1) || {
  tail -n 60 "$out/build.log" >&2
  echo "test-packages: the package build failed (log: $out/build.log)" >&2
  exit 1
}
built=$SECONDS
debs=()
for p in "${packages[@]}"; do
  deb=$(find "$out" -maxdepth 1 -name "${p}_*.deb" | head -n 1)
  [ -n "$deb" ] || { echo "test-packages: no package $p was built" >&2; exit 1; }
  debs+=("$deb")
done

echo "== lintian"
lintian --fail-on error "${debs[@]}" | tee "$out/lintian.log"

echo "== install"
before=$(installed)
# Whatever the install adds (the packages and the dependencies they pull in)
# is purged at the end, whether the consumers passed or not.
cleanup() {
  local added
  added=$(comm -13 <(echo "$before") <(installed) | tr '\n' ' ')
  if [ -n "$added" ]; then
    echo "== purge: $added"
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get purge -y -qq $added >/dev/null
  fi
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${debs[@]}" >/dev/null
installed_at=$SECONDS

echo "== consumers against the packages"
bash tests/consumer/consumers.sh /usr
# The completion loads by the command's name through bash-completion, the
# manual page through man.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  offered=$(bash -c '. /usr/share/bash-completion/bash_completion; __load_completion klpass &&
    COMP_WORDS=(klpass vault copy f r --field ""); COMP_CWORD=6; _klpass; echo "${COMPREPLY[*]}"')
  [ "$offered" = "password user url title note" ] || { echo "bash-completion offers: $offered" >&2; exit 1; }
fi
# The notices of what the library carries travel with it.
notices=/usr/share/doc/libklpassword1/THIRD_PARTY_NOTICES
[ -f "$notices" ] || [ -f "$notices.gz" ] || { echo "libklpassword1 installs no THIRD_PARTY_NOTICES" >&2; exit 1; }
if command -v man >/dev/null; then
  [ "$(man -w klpass)" = /usr/share/man/man1/klpass.1.gz ] || { echo "man finds no klpass page" >&2; exit 1; }
fi
echo "-- build $((built - start)) s, lintian and install $((installed_at - built)) s, consumers $((SECONDS - installed_at)) s"
