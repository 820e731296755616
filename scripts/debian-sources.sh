# Sourced by the scripts that build dependencies from Debian's source packages
# (the Windows and WebAssembly builds). `apt-get source` needs a deb-src entry:
# add_deb_src adds one beside the binary entries when none is there. Uses $SUDO.
add_deb_src() {
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "== adding a deb-src entry for Debian's sources"
    $SUDO tee /etc/apt/sources.list.d/klpassword-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    $SUDO apt-get update -qq
  fi
}
