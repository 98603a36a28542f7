#!/bin/bash
# Builds Tablón's Debian package and checks it on this machine (Debian 12, as root):
#
#   scripts/paquete.sh [BUILD_DIR]
#
# configures BUILD_DIR (default build-paquete; test.sh passes build-test) for /usr, builds it,
# makes the package with CPack, and then: lintian reports no error; `apt-get install ./PACKAGE`
# installs it with its dependencies; `tablon --version`, `man -w tablon`, the help in Spanish
# (LANG=C) and English (LANG=en_US.UTF-8, when that locale exists) and the systemd user units
# (systemd-analyze verify, where systemd is installed) work from the installed files;
# `apt-get remove` removes it and leaves the file system as it found it (the file lists of
# /usr, /etc, /opt and /var before and after, less the package manager's own state, caches and
# logs). A tablon package already installed is left alone, and the check fails saying so.
# Exits non-zero when anything failed; the package stays in BUILD_DIR.
set -euo pipefail
cd "$(dirname "$0")/.."
readonly TOP=$PWD
readonly DIR=${1:-$TOP/build-paquete}
# A build directory of its own needs no tests; one given keeps its settings but the prefix.
opciones=(-DCMAKE_INSTALL_PREFIX=/usr)
[ $# -gt 0 ] || opciones+=(-DTABLON_TESTS=OFF)

source scripts/paquetes.sh
instala_paquetes lintian man-db

fallos=0
mal() { echo "   MAL: $*"; fallos=$((fallos + 1)); }
bien() { echo "   bien: $*"; }

echo "== Paquete Debian ($DIR)"
mkdir -p "$DIR"
cmake -S "$TOP" -B "$DIR" -G Ninja "${opciones[@]}" >"$DIR.paquete-configure.log" 2>&1 ||
  { cat "$DIR.paquete-configure.log"; exit 1; }
cmake --build "$DIR" -j"$(nproc 2>/dev/null || echo 2)" 2>&1 | sed -E '/^\[[0-9]+\/[0-9]+\] /d'
rm -f "$DIR"/tablon_*.deb
(cd "$DIR" && cpack -G DEB >"$DIR.cpack.log" 2>&1) || { cat "$DIR.cpack.log"; exit 1; }
deb=$(ls "$DIR"/tablon_*.deb)
version=$(dpkg-deb -f "$deb" Version)
echo "   $(basename "$deb"): $(dpkg-deb -f "$deb" Depends)"

# lintian: errors fail; warnings and the rest are shown.
if lintian --fail-on error "$deb" >"$DIR.lintian.log" 2>&1; then
  bien "lintian sin errores"
else
  mal "lintian"
fi
grep -E '^[EW]: ' "$DIR.lintian.log" | sed 's/^/   /' || true

if dpkg-query -W -f='${Status}' tablon 2>/dev/null | grep -q "ok installed"; then
  mal "ya hay un paquete tablon instalado en esta máquina; no se toca (quítelo con apt-get remove tablon)"
  exit 1
fi

# What the file system holds, less what changes without the package: the package manager's
# state, caches, logs, spools and runtime files.
lista() {
  find /usr /etc /opt /var -xdev \( -path /var/lib/dpkg -o -path /var/lib/apt -o -path /var/cache \
    -o -path /var/log -o -path /var/tmp -o -path /var/spool -o -path /var/lib/news -o -path /var/run \
    -o -path /var/lock -o -path /var/lib/systemd -o -path /var/lib/dovecot -o -path /var/mail \) -prune \
    -o -print 2>/dev/null | LC_ALL=C sort
}
lista >"$DIR.archivos-antes.log"

if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$DIR.apt.log" 2>&1; then
  bien "apt-get install $(basename "$deb")"
else
  cat "$DIR.apt.log"
  mal "apt-get install"
fi

# From the installed files only: nothing of the build tree.
(
  fallos=0
  unset TABLON_LOCALEDIR LANGUAGE LC_ALL LC_MESSAGES
  [ "$(command -v tablon)" = /usr/bin/tablon ] && bien "tablon en /usr/bin" || mal "tablon no está en /usr/bin"
  v=$(tablon --version 2>&1) || true
  [ "$v" = "tablon $version" ] && bien "tablon --version: $v" || mal "tablon --version: «$v», se esperaba «tablon $version»"
  m=$(man -w tablon 2>&1) || true
  [ "$m" = /usr/share/man/man1/tablon.1.gz ] && bien "man -w tablon: $m" || mal "man -w tablon: «$m»"
  if man --warnings -E UTF-8 -l "$m" 2>&1 >/dev/null | grep -q .; then
    mal "la página de manual tiene avisos de groff"
    man --warnings -E UTF-8 -l "$m" 2>&1 >/dev/null | head -5
  fi
  ayuda=$(LANG=C tablon --help 2>&1) || true
  [[ $ayuda == "Tablón copia "* ]] && bien "LANG=C: ayuda en español" || mal "LANG=C: la ayuda no está en español"
  if locale -a 2>/dev/null | grep -qx 'en_US.utf8'; then
    ayuda=$(LANG=en_US.UTF-8 tablon --help 2>&1) || true
    [[ $ayuda == "Tablón copies "* ]] && bien "LANG=en_US.UTF-8: ayuda en inglés (catálogo instalado)" ||
      mal "LANG=en_US.UTF-8: la ayuda no está en inglés"
  fi
  unidades=/usr/lib/systemd/user
  for u in tablon.service tablon.timer; do
    [ -f "$unidades/$u" ] && bien "$unidades/$u" || mal "falta $unidades/$u"
  done
  grep -qx 'ExecStart=/usr/bin/tablon --once -q' "$unidades/tablon.service" || mal "tablon.service: ExecStart"
  grep -qx 'Persistent=true' "$unidades/tablon.timer" || mal "tablon.timer: Persistent"
  if command -v systemd-analyze >/dev/null; then
    run=$(mktemp -d)
    if XDG_RUNTIME_DIR=$run systemd-analyze --user verify "$unidades/tablon.service" "$unidades/tablon.timer"; then
      bien "systemd-analyze --user verify"
    else
      mal "systemd-analyze --user verify"
    fi
    rm -rf "$run"
  fi
  # Installed, not enabled: nothing outside the package's files points at the units.
  if find /etc/systemd/user -name 'tablon.*' 2>/dev/null | grep -q .; then mal "las unidades están habilitadas"; fi
  exit "$fallos"
) || fallos=$((fallos + $?))

if DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tablon >>"$DIR.apt.log" 2>&1; then
  bien "apt-get remove tablon"
else
  cat "$DIR.apt.log"
  mal "apt-get remove"
fi
if dpkg-query -W -f='${Status}' tablon 2>/dev/null | grep -q "ok installed"; then mal "tablon sigue instalado"; fi
lista >"$DIR.archivos-despues.log"
if diff "$DIR.archivos-antes.log" "$DIR.archivos-despues.log" >"$DIR.archivos-diferencia.log"; then
  bien "quitado sin dejar nada: las listas de archivos coinciden"
else
  mal "las listas de archivos difieren tras quitarlo:"
  head -20 "$DIR.archivos-diferencia.log"
fi

if [ "$fallos" -eq 0 ]; then
  echo "   paquete: bien"
else
  echo "   paquete: $fallos comprobaciones MAL"
fi
[ "$fallos" -eq 0 ]
