#!/usr/bin/env bash
# Regenerates tests/data/strength_ts_known_answers.txt: the test program writes
# its sample of each language's corpus, then zxcvbn-ts answers for it under node.
# Run after a change of the corpus, the packs or the year the answers are for.
#   tests/rules/strength_ts_known_answers.sh [BUILD_DIR] [NODE_MODULES]
# (defaults: build/release, and build/ts-oracle/node_modules as scripts/setup.sh installs it)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/release}
modules=${2:-$root/build/ts-oracle/node_modules}
sample=$(mktemp -d)
trap 'rm -rf "$sample"' EXIT
KL_TS_SAMPLE_DIR=$sample "$build/tests/klpassword_rules_tests" --gtest_also_run_disabled_tests \
  --gtest_filter=StrengthTsKnownAnswers.DISABLED_WriteSample >/dev/null
node "$root/tests/rules/strength_ts_known_answers.js" "$modules" "$sample" "$root/tests/data/strength_ts_known_answers.txt"
wc -l "$root/tests/data/strength_ts_known_answers.txt"
