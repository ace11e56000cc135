#!/usr/bin/env bash
# bench/smtp/run.sh [BUILD_DIR]: mail throughput direct to a sink and through
# the gateway, measured in the same run (see README.md). Never run by CI.
#
# smtp-source and smtp-sink come from Debian's postfix package, unpacked
# into BUILD_DIR/bench-smtp/ without installing it (no mail service is set
# up). BUILD_DIR (default build/) is configured as RelWithDebInfo when new;
# only the daemon is built. Needs root, like the daemon. BENCH_SCALE
# multiplies the message counts (default 1).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
cache="$build/bench-smtp"

"$root/tools/install-deps"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
if ! ninja -C "$build" ${TORVANE_JOBS:+-j "$TORVANE_JOBS"} torvane-antispam >"$build/bench-smtp.log" 2>&1; then
  tail -n 50 "$build/bench-smtp.log"
  exit 1
fi

if [ ! -x "$cache/postfix/usr/sbin/smtp-source" ]; then
  mkdir -p "$cache"
  rm -f "$cache"/postfix_*.deb
  # apt writes the package into the current directory; its package lists
  # may need refreshing first.
  (cd "$cache" && { apt-get download postfix >/dev/null 2>&1 ||
                    { apt-get update -qq && apt-get download -q postfix; }; })
  rm -rf "$cache/postfix"
  dpkg -x "$cache"/postfix_*.deb "$cache/postfix"
fi

exec /usr/bin/python3 "$root/bench/smtp/bench.py" --daemon "$build/torvane-antispam" \
  --postfix "$cache/postfix" --scale "${BENCH_SCALE:-1}"
