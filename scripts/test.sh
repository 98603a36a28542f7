#!/bin/bash
# Installs what the tests need (Debian 12, as root), starts the local INN, builds Tablón twice
# (warnings on; then AddressSanitizer + UndefinedBehaviorSanitizer) and runs every test in both
# builds, then builds the Debian package from the first build and checks it (scripts/paquete.sh).
# Prints ctest's summary of each run; exits non-zero when anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly TOP=$PWD

source scripts/paquetes.sh
# clang and its runtime (libFuzzer, sanitizers) for the fuzzing step; locales for the tests of
# the messages in English.
instala_paquetes clang libclang-rt-14-dev locales
# The locales those tests run in (glibc shows a catalog only in an installed locale).
for l in en_US es_ES; do
  locale -a 2>/dev/null | grep -qx "$l.utf8" || localedef -i "$l" -c -f UTF-8 -A /usr/share/locale/locale.alias "$l.UTF-8"
done

echo "== Servidor de noticias local (INN)"
scripts/inn.sh install
# A server that was already running is left running; one started here is stopped at the end.
if ! scripts/inn.sh status >/dev/null 2>&1; then
  scripts/inn.sh start
  trap 'scripts/inn.sh stop >/dev/null 2>&1 || true' EXIT
fi
export TABLON_INN_PORT
TABLON_INN_PORT=$(scripts/inn.sh port)

# What the package step needs besides (lintian, man-db) installs while the builds run.
instala_paquetes lintian man-db >"$TOP/build-test-paquetes.log" 2>&1 &
instalando=$!

jobs=$(nproc 2>/dev/null || echo 2)
status=0
run_build() {
  local dir=$1; shift
  echo "== Compilando en $dir ($*)"
  cmake -S "$TOP" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" 2>&1 | sed -E '/^\[[0-9]+\/[0-9]+\] /d' || return 1
  echo "== Pruebas en $dir"
  # No test is run twice: one that fails once fails the run.
  (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 900) 2>&1 | tee "$dir.ctest.log"
}
# "P F S" from a ctest log ("100% tests passed, 0 tests failed out of 117"): passed, failed and
# skipped, a skipped test not counted as passed.
cuenta() {
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$1" 2>/dev/null | tail -n 1)
  if [ -z "$line" ]; then echo "0 0 0"; return; fi
  local failed total skipped
  failed=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
  total=$(sed -E 's/.* tests failed out of ([0-9]+).*/\1/' <<<"$line")
  skipped=$(grep -cE '^ *([0-9]+/[0-9]+ )?Test +#[0-9]+: .*\*\*\*Skipped' "$1" || true)
  echo "$((total - failed - skipped)) $failed $skipped"
}
mkdir -p build-test build-test-asan
# Installed in /usr: the package step makes the Debian package of this build.
run_build "$TOP/build-test" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr || status=1
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_build "$TOP/build-test-asan" -DCMAKE_BUILD_TYPE=Debug -DTABLON_SANITIZE=ON || status=1

# The Debian package of build-test: lintian, install, the installed files at work, removal.
paquete=mal
if ! wait "$instalando"; then
  cat "$TOP/build-test-paquetes.log"
  status=1
elif scripts/paquete.sh "$TOP/build-test"; then
  paquete=bien
else
  status=1
fi

# Fuzzing: each libFuzzer target of fuzz/ for a short while (FUZZ_SECONDS, default 30) from its
# seed corpus, in a clang build of its own. A crash fails the script; its input is kept in
# build-fuzz/crashes/<target>/ to become a regression test.
run_fuzz() {
  local dir=$TOP/build-fuzz secs=${FUZZ_SECONDS:-30} f rc
  echo "== Fuzzing en $dir (${secs} s por objetivo)"
  CC=clang CXX=clang++ cmake -S "$TOP" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTABLON_FUZZ=ON \
    -DTABLON_TESTS=OFF >"$dir.configure.log" 2>&1 || { cat "$dir.configure.log"; return 1; }
  cmake --build "$dir" -j"$jobs" 2>&1 | sed -E '/^\[[0-9]+\/[0-9]+\] /d' || return 1
  local fallo=0
  for f in "$TOP"/fuzz/corpus/*/; do
    f=$(basename "$f")
    mkdir -p "$dir/corpus/$f" "$dir/crashes/$f"
    rc=0
    "$dir/fuzz/$f" -max_total_time="$secs" -print_final_stats=1 -artifact_prefix="$dir/crashes/$f/" \
      "$dir/corpus/$f" "$TOP/fuzz/corpus/$f" >"$dir/$f.log" 2>&1 || rc=$?
    local execs
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$f.log" | tail -1)
    if [ "$rc" -eq 0 ]; then
      echo "   $f: bien, ${execs:-?} ejecuciones"
    else
      echo "   $f: FALLO (código $rc), entrada en $dir/crashes/$f/; registro: $dir/$f.log"
      grep -E "ERROR|SUMMARY" "$dir/$f.log" | head -5 || true
      fallo=1
    fi
  done
  return $fallo
}
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_fuzz || status=1

# Closing summary: both test runs added up (a build that failed counts as one failure).
echo "== Resumen"
echo "   paquete: $paquete"
passed=0
failed=0
skipped=0
for dir in build-test build-test-asan; do
  read -r p f s < <(cuenta "$TOP/$dir.ctest.log")
  [ "$p" -eq 0 ] && [ "$f" -eq 0 ] && f=1
  echo "   $dir: $p bien, $f mal, $s omitidas"
  passed=$((passed + p))
  failed=$((failed + f))
  skipped=$((skipped + s))
done
[ "$status" -eq 0 ] || [ "$failed" -gt 0 ] || failed=1
echo "$passed passed, $failed failed, $skipped skipped"
exit $status
