#!/bin/bash
# Installs what the tests need (Debian 12, as root), starts the local INN, builds Tablón twice
# (warnings on; then AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both
# builds. Prints ctest's summary of each run; exits non-zero when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly TOP=$PWD

source scripts/paquetes.sh
instala_paquetes

echo "== Servidor de noticias local (INN)"
scripts/inn.sh install
# A server that was already running is left running; one started here is stopped at the end.
if ! scripts/inn.sh status >/dev/null 2>&1; then
  scripts/inn.sh start
  trap 'scripts/inn.sh stop >/dev/null 2>&1 || true' EXIT
fi
export TABLON_INN_PORT
TABLON_INN_PORT=$(scripts/inn.sh port)

jobs=$(nproc 2>/dev/null || echo 2)
status=0
run_build() {
  local dir=$1; shift
  echo "== Compilando en $dir ($*)"
  cmake -S "$TOP" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" 2>&1 | sed -E '/^\[[0-9]+\/[0-9]+\] /d' || return 1
  echo "== Pruebas en $dir"
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900)
}
mkdir -p build-test build-test-asan
run_build "$TOP/build-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build "$TOP/build-test-asan" -DCMAKE_BUILD_TYPE=Debug -DTABLON_SANITIZE=ON || status=1
exit $status
