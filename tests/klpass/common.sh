# Shared by the klpass end-to-end tests; sourced with the klpass binary as $1.
# Every test runs in a scratch folder with its own key folder and machine id,
# so that nothing touches the real home folder or key.
set -euo pipefail

KLPASS=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export HOME=$work/home XDG_DATA_HOME=$work/home/.local/share
export KLPASSWORD_KEY_DIR=$work/keys KLPASSWORD_MACHINE_ID_FILE=$work/machine-id
export KLPASSWORD_MACHINE_KEY_FILE=$work/machine-keys/machine.key
mkdir -p "$HOME"
echo 0123456789abcdef0123456789abcdef >"$KLPASSWORD_MACHINE_ID_FILE"

case_name=""
status=0
out=""
err=""

# Names the case that the following checks belong to.
case_() { case_name=$1; }

fail() {
  printf 'FAIL [%s]: %s\n--- stdout\n%s\n--- stderr\n%s\n' "$case_name" "$*" "$out" "$err" >&2
  exit 1
}

# run INPUT ARG...: pipes INPUT (printf %b escapes, so '\n' ends a line) into
# klpass ARG... and keeps its exit status, standard output and standard error.
run() {
  local input=$1
  shift
  set +e +o pipefail
  printf '%b' "$input" | "$KLPASS" "$@" >"$work/.out" 2>"$work/.err"
  status=${PIPESTATUS[1]}
  set -e -o pipefail
  out=$(cat "$work/.out")
  err=$(cat "$work/.err")
}

expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"; }
expect_out() { grep -qF -- "$1" <<<"$out" || fail "standard output lacks: $1"; }
expect_no_out() { ! grep -qF -- "$1" <<<"$out" || fail "standard output holds: $1"; }
expect_err() { grep -qF -- "$1" <<<"$err" || fail "standard error lacks: $1"; }
# A failure names its cause on standard error and prints nothing on standard output.
expect_failure() {
  expect_status "$1"
  expect_err "$2"
  [ -z "$out" ] || fail "standard output is not empty"
}
# Success leaves standard error empty: no warnings, no sanitizer reports.
expect_success() {
  expect_status 0
  [ -z "$err" ] || fail "standard error is not empty"
}

# Overwrites one byte of a file, at a byte offset, with another value.
flip_byte() {
  local file=$1 offset=$2
  local old
  old=$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')
  printf "$(printf '\\%03o' $(((old + 1) % 256)))" | dd of="$file" bs=1 seek="$offset" conv=notrunc status=none
}
