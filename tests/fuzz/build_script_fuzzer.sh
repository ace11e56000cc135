#!/usr/bin/env bash
# Builds the script fuzzer with clang into $1 (/tmp/script_fuzzer); run: $1 -max_total_time=600 tests/fuzz/script_corpus
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${1:-/tmp/script_fuzzer}
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
  -I"$root/src" \
  "$root"/src/script/*.cc "$root/tests/fuzz/script_fuzz.cc" -o "$out"
echo "built $out"
