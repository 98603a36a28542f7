#!/bin/bash
# The benchmark: builds Tablón (RelWithDebInfo, in build-bench/), makes sure the local INN runs,
# and measures passes against it with their floors (bench/bench.cc says what and how).
#
#   scripts/bench.sh [N...]      N articles per group (default 20000); several N also compare
#                                W1 across sizes. TABLON_BENCH_REPS (default 3) runs per figure,
#                                TABLON_BENCH_WORK (default /var/tmp/tablon-bench) scratch space,
#                                TABLON_BENCH_BUILD (default build-bench) the build directory.
#
# After the loopback tables, the same passes into the IMAP store: a private Dovecot on loopback
# (a new one per run, storage of its own in the scratch space), Tablón given
# --store imap://tablon@127.0.0.1:PORT, against raw floors over plain sockets to INN and that
# Dovecot. The server commits every APPEND on its own: at 20000 articles W1 and its floor take
# from half a minute to several minutes each, as the disk allows:
#   TABLON_BENCH_IMAP=no         skips it (default: si, run it); =solo runs it alone (with
#                                TABLON_BENCH_ENLACE=solo too, both run, the loopback tables not)
#   TABLON_BENCH_IMAP_TRAZA=si   one more run of its passes, untimed, each with TABLON_TRAZA_IMAP
#                                set (the traces go to the scratch space)
#
# Then the same passes over a distant link (a proxy on loopback in front of INN: 50 ms and 200 ms
# round trip, 20 Mbit/s), with and without COMPRESS, against floors over the same link. It adds
# several minutes:
#   TABLON_BENCH_ENLACE=no       skips it (default: si, run it); =solo runs it alone
#   TABLON_BENCH_ENLACE_N=M      its group size (default: the first N; a group of M is made when
#                                no N equals it)
#
# Not a test: ctest and scripts/test.sh never run it.
set -euo pipefail
cd "$(dirname "$0")/.."
export TABLON_INN_PORT=${TABLON_INN_PORT:-11119}
BUILD=${TABLON_BENCH_BUILD:-build-bench}
WORK=${TABLON_BENCH_WORK:-/var/tmp/tablon-bench}
ENLACE=()
case "${TABLON_BENCH_ENLACE:-si}" in
  si) ;;
  no) ENLACE+=(--sin-enlace) ;;
  solo) ENLACE+=(--solo-enlace) ;;
  *) echo "bench.sh: TABLON_BENCH_ENLACE must be si, no or solo" >&2; exit 2 ;;
esac
if [ -n "${TABLON_BENCH_ENLACE_N:-}" ]; then ENLACE+=(--enlace-n "$TABLON_BENCH_ENLACE_N"); fi
IMAP=()
case "${TABLON_BENCH_IMAP:-si}" in
  si) ;;
  no) IMAP+=(--sin-imap) ;;
  solo) IMAP+=(--solo-imap) ;;
  *) echo "bench.sh: TABLON_BENCH_IMAP must be si, no or solo" >&2; exit 2 ;;
esac
case "${TABLON_BENCH_IMAP_TRAZA:-no}" in
  si) IMAP+=(--traza-imap) ;;
  no) ;;
  *) echo "bench.sh: TABLON_BENCH_IMAP_TRAZA must be si or no" >&2; exit 2 ;;
esac
if ! scripts/inn.sh status >/dev/null 2>&1; then
  scripts/inn.sh install
  scripts/inn.sh start
fi
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C "$BUILD" -j2 tablon tablon-bench >/dev/null
[ $# -gt 0 ] || set -- 20000
exec "$BUILD/bench/tablon-bench" --tablon "$BUILD/tablon" --work "$WORK" \
  --reps "${TABLON_BENCH_REPS:-3}" "${ENLACE[@]}" "${IMAP[@]}" "$@"
