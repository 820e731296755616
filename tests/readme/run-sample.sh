#!/usr/bin/env bash
# Runs one shell or Python sample of the guide (examples/tour/*.sh, *.py) as a
# reader would: in a scratch folder, shell samples with this build's klpass first
# on PATH, Python samples with Debian's interpreter over python/ and this build's
# library. Protection keys go to the scratch folder, never the real home folder.
# A sample that uses $USERS_DB gets a fresh database on the PostgreSQL test
# cluster (KL_TEST_POSTGRES_FILE, made by the CTest fixture), and is skipped
# (exit 77) without one; a Python sample that imports django, without Django.
# Usage: run-sample.sh KLPASS LIBRARY SAMPLE [PYTHON]
set -euo pipefail
klpass=$(realpath "$1")
library=$(realpath "$2")
sample=$(realpath "$3")
python=${4:-}
root=$(cd "$(dirname "$0")/../.." && pwd)

skip() { echo "SKIPPED: $*" >&2; exit 77; }
work=$(mktemp -d)
cleanup=(rm -rf "$work")
trap '"${cleanup[@]}"' EXIT
mkdir -m 700 "$work/keys"
export KLPASSWORD_KEY_DIR=$work/keys KLPASSWORD_MACHINE_ID_FILE=$work/machine-id
export KLPASSWORD_MACHINE_KEY_FILE=$work/machine.key HOME=$work
echo 0123456789abcdef0123456789abcdef >"$work/machine-id"

if grep -q 'USERS_DB' "$sample"; then
  state=${KL_TEST_POSTGRES_FILE:-}
  [ -n "$state" ] && grep -q '^postgresql://' "$state" ||
    skip "no PostgreSQL test cluster${state:+: $(cat "$state")}"
  server=$(cat "$state")
  db=klpass_sample_$$
  psql -q "$server" -c "CREATE DATABASE $db" >/dev/null
  cleanup=(bash -c "psql -q '$server' -c 'DROP DATABASE IF EXISTS $db' >/dev/null; rm -rf '$work'")
  export USERS_DB="${server/\/\/\/postgres?//\/\/$db?}"
fi

cd "$work"
case $sample in
  *.sh) PATH=$(dirname "$klpass"):$PATH bash -euo pipefail "$sample" ;;
  *.py)
    [ -n "$python" ] || skip "Debian's python3 was not found"
    if grep -q '^import django' "$sample"; then
      "$python" -c 'import django' 2>/dev/null || skip "Django is not installed (python3-django)"
    fi
    PYTHONPATH=$root/python KLPASSWORD_LIBRARY=$library PYTHONDONTWRITEBYTECODE=1 "$python" "$sample" ;;
  *) echo "no runner for $sample" >&2; exit 1 ;;
esac
