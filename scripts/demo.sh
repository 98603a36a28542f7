#!/bin/bash
# The main job, shown end to end on this machine (Debian 12, as root): installs what it needs,
# builds Tablón, starts a local INN with two sample groups, makes a store with that server, and
# runs the passes a user would — learn the groups, subscribe, get the headers, flag two items
# as a mail client does, get their text. Leaves the store in demo/Mail to look at with neomutt.
#
#   scripts/demo.sh --imap   the same workflow with an IMAP account as the store: a private
#                            Dovecot on 127.0.0.1 (port TABLON_DEMO_IMAP_PORT, default 10143; its
#                            mail in /var/tmp/tablon-demo-imap), the password in a .netrc of the
#                            demo's own; two items flagged over IMAP as a phone would, and the
#                            result read back over IMAP (curl, neomutt).
set -euo pipefail
cd "$(dirname "$0")/.."
readonly TOP=$PWD
readonly DEMO=${TABLON_DEMO_DIR:-$TOP/demo}
IMAP=no
case "${1:-}" in
  --imap) IMAP=si ;;
  "") ;;
  *) echo "uso: scripts/demo.sh [--imap]" >&2; exit 2 ;;
esac

source scripts/paquetes.sh
if [ $IMAP = si ]; then instala_paquetes curl; else instala_paquetes; fi

echo "== Servidor de noticias local (INN)"
scripts/inn.sh install
scripts/inn.sh start
export TABLON_INN_PORT
TABLON_INN_PORT=$(scripts/inn.sh port)
readonly HOST=127.0.0.1:$TABLON_INN_PORT

echo "== Compilando"
cmake -S "$TOP" -B "$TOP/build-demo" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$TOP/build-demo" -j"$(nproc)" --target tablon tablon-feed | sed -E '/^\[[0-9]+\/[0-9]+\] /d'
readonly TABLON=$TOP/build-demo/tablon

# A fresh store and servers directory for the demo (an earlier one is moved aside, then removed).
if [ -e "$DEMO" ]; then
  mv "$DEMO" "$DEMO.old.$$"
  rm -rf "$DEMO.old.$$"
fi
mkdir -p "$DEMO"
export TABLON_STORE=$DEMO/Mail TABLON_SERVERS_DIR=$DEMO/servers

echo "== Grupos de ejemplo en el servidor"
"$TOP/build-demo/tests/tablon-feed" demo demo

run() { echo; echo "\$ tablon $*"; "$TABLON" "$@"; }

# The screen neomutt shows with ARGS (a 100x14 terminal of a tmux server of its own), under TITLE;
# nothing where neomutt or tmux is missing.
pantalla_neomutt() {
  command -v tmux >/dev/null && command -v neomutt >/dev/null || return 0
  echo
  echo "$1"
  local sock=tablon-demo-$$
  tmux -u -f /dev/null -L "$sock" new-session -d -x 100 -y 14 \
    "env LANG=C.UTF-8 LC_ALL=C.UTF-8 neomutt -n -F /dev/null $2"
  sleep 3
  tmux -u -L "$sock" capture-pane -p | sed 's/^/  /'
  tmux -L "$sock" kill-server 2>/dev/null || true
}

if [ $IMAP = si ]; then
  source scripts/demo_imap.sh
  exit 0
fi

run add-server "$HOST"
echo; echo "\$ tablon --once        (primera pasada: aprende los grupos del servidor; resumen)"
"$TABLON" --once
run groups "$HOST" 'demo.*'
run subscribe "$HOST" demo.comp.lang.c demo.es.charla
run --once                     # the headers arrive, threaded

readonly C=$TABLON_STORE/news/$HOST/demo/comp/lang/c
echo
echo "== Artículos en $C"
for f in "$C"/cur/* "$C"/new/*; do
  [ -f "$f" ] || continue
  printf '%s\t%s\n' "$(sed -n 's/^Subject: //p' "$f" | head -n 1)" "$(sed -n 's/^From: //p' "$f" | head -n 1)"
done | sort | perl -CO -MEncode -ne 'chomp; my ($s, $a) = split /\t/;  # encoded words shown as text
  printf "  %-48s %s\n", decode("MIME-Header", $s), $a'

# Flag two items as a mail client does: rename the file to add the F flag.
echo
echo "== Marcando dos artículos para descargar (como lo haría el cliente de correo)"
n=0
# The two thread roots (no In-Reply-To) whose subjects name sizeof and Punteros.
for f in $(grep -L '^In-Reply-To:' $(grep -l 'sizeof' "$C"/cur/*) | head -n 1) \
         $(grep -L '^In-Reply-To:' $(grep -l 'Punteros' "$C"/cur/*) | head -n 1); do
  mv "$f" "${f%%:2,*}:2,F"
  n=$((n + 1))
done
echo "  $n marcados"
run --once                     # their text is downloaded

echo
echo "== Un artículo descargado (clase y comienzo del texto)"
f=$(grep -l '^X-Tablon-Clase: IPM.Note.News.Full' "$C"/cur/* | head -n 1)
grep -E '^(Subject|From|Content-Type|X-Tablon-Clase):' "$f"
sed -n '/^$/,$p' "$f" | sed -n '2,14p' | sed 's/^/  | /'

pantalla_neomutt "== Lo que muestra neomutt (set sort=threads)" \
  "-e 'set folder=$TABLON_STORE' -e 'set sort=threads' -f '$C'"

cat <<TXT

== Listo. Para leer las noticias:
  neomutt -e "set folder='$TABLON_STORE' sort=threads" -f '$C'
                          (F marca un artículo para descargar su texto)
  TABLON_STORE='$TABLON_STORE' TABLON_SERVERS_DIR='$TABLON_SERVERS_DIR' $TABLON
                          otra pasada con el panel interactivo (Intro: otra pasada, q: salir)
TXT
