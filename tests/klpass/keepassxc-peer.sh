# Sourced after common.sh by the tests that compare klpass with keepassxc-cli:
# skips (exit 0) where keepassxc-cli or python3 is missing, naming WHAT is not
# tested; then keepassxc-cli runs headless, in a zone five and a half hours
# ahead of UTC (no tzdata needed: a shift by the zone would show in every time
# stamp), with the master password kp-master.
# Usage: use_keepassxc "WHAT is not tested"
use_keepassxc() {
  if ! command -v keepassxc-cli >/dev/null || ! command -v python3 >/dev/null; then
    echo "SKIP: keepassxc-cli (Debian package keepassxc) or python3 is not installed; $1" >&2
    exit 0
  fi
  export QT_QPA_PLATFORM=offscreen
  export TZ=IST-5:30
  kp='kp-master\n'
}

# kpx SECRETS ARGS...: keepassxc-cli ARGS with SECRETS on its standard input.
kpx() { printf '%b' "$1" | keepassxc-cli "${@:2}" >/dev/null 2>&1 || fail "keepassxc-cli ${*:2} failed"; }
# xml FILE OUT: keepassxc-cli's XML export of FILE.
xml() { printf '%b' "$kp" | keepassxc-cli export -f xml "$1" >"$2" 2>/dev/null || fail "export of $1 failed"; }
