#!/usr/bin/env bash
# Sets up, builds the library and the example host application `klpass`, and
# runs a short scripted demonstration of it.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target klpass
klpass=build/release/examples/klpass

echo "== klpass check (built-in demonstration policy)"
"$klpass" check || true
