#!/bin/bash
# The benchmark: builds Tablón (RelWithDebInfo, in build-bench/), makes sure the local INN runs,
# and measures passes against it with their floors (bench/bench.cc says what and how).
#
#   scripts/bench.sh [N...]      N articles per group (default 20000); several N also compare
#                                W1 across sizes. TABLON_BENCH_REPS (default 3) runs per figure,
#                                TABLON_BENCH_WORK (default /var/tmp/tablon-bench) scratch space.
#
# Not a test: ctest and scripts/test.sh never run it.
set -euo pipefail
cd "$(dirname "$0")/.."
export TABLON_INN_PORT=${TABLON_INN_PORT:-11119}
BUILD=${TABLON_BENCH_BUILD:-build-bench}
WORK=${TABLON_BENCH_WORK:-/var/tmp/tablon-bench}
if ! scripts/inn.sh status >/dev/null 2>&1; then
  scripts/inn.sh install
  scripts/inn.sh start
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$BUILD" -j2 tablon tablon-bench >/dev/null
[ $# -gt 0 ] || set -- 20000
exec "$BUILD/bench/tablon-bench" --tablon "$BUILD/tablon" --work "$WORK" \
  --reps "${TABLON_BENCH_REPS:-3}" "$@"
