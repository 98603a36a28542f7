# Sourced by demo.sh --imap, once the groups are on the local INN: the demo's workflow with an
# IMAP account as the store. A private Dovecot (configuration, mail, indexes and log of its own in
# $IMAPDIR; nothing of a system Dovecot is used or touched) serves one user, "tablon", whose
# password Tablón finds in the demo's own ~/.netrc.
readonly IMAPDIR=${TABLON_DEMO_IMAP_DIR:-/var/tmp/tablon-demo-imap}
readonly PUERTO=${TABLON_DEMO_IMAP_PORT:-10143}
readonly CLAVE=clave-de-la-demo

echo "== Cuenta IMAP privada (Dovecot en 127.0.0.1:$PUERTO)"
if [ -f "$IMAPDIR/run/master.pid" ]; then kill "$(cat "$IMAPDIR/run/master.pid")" 2>/dev/null || true; sleep 1; fi
rm -rf "$IMAPDIR"
mkdir -p "$IMAPDIR"/{buzones,inbox,indices,control,home}
# The mail processes run as nobody (Dovecot refuses root for mail).
chown -R nobody:nogroup "$IMAPDIR"/{buzones,inbox,indices,control,home}
chmod 755 "$IMAPDIR"
cat >"$IMAPDIR/dovecot.conf" <<CONF
base_dir = $IMAPDIR/run
state_dir = $IMAPDIR/state
log_path = $IMAPDIR/log
protocols = imap
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain login
first_valid_uid = $(id -u nobody)
last_valid_uid = $(id -u nobody)
mail_location = maildir:$IMAPDIR/buzones:LAYOUT=fs:INBOX=$IMAPDIR/inbox:INDEX=$IMAPDIR/indices:CONTROL=$IMAPDIR/control
passdb {
  driver = static
  args = password=$CLAVE
}
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$IMAPDIR/home
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1
    port = $PUERTO
  }
  inet_listener imaps {
    port = 0
  }
}
CONF
/usr/sbin/dovecot -c "$IMAPDIR/dovecot.conf"
for _ in $(seq 50); do
  (exec 3<>/dev/tcp/127.0.0.1/"$PUERTO") 2>/dev/null && break
  sleep 0.1
done

# The store is the account; its password is in the demo's ~/.netrc (mode 0600).
export HOME=$DEMO/casa
mkdir -p "$HOME"
printf 'machine 127.0.0.1 login tablon password %s\n' "$CLAVE" >"$HOME/.netrc"
chmod 600 "$HOME/.netrc"
export TABLON_STORE=imap://tablon@127.0.0.1:$PUERTO
echo "  TABLON_STORE=$TABLON_STORE"

# What a phone or any IMAP client sees and does: curl speaks IMAP.
imap() { curl -s --netrc-file "$HOME/.netrc" "imap://127.0.0.1:$PUERTO/$1" ${2:+-X "$2"}; }

run add-server "$HOST"
echo; echo "\$ tablon --once        (primera pasada: aprende los grupos del servidor; resumen)"
"$TABLON" --once
run groups "$HOST" 'demo.*'
run subscribe "$HOST" demo.comp.lang.c demo.es.charla
run --once                     # the headers arrive, threaded, as messages of the account

readonly BUZON=news/$HOST/demo/comp/lang/c
echo
echo "== Carpetas de la cuenta"
imap "" 'LIST "" "news/*"' | sed 's/^/  /'
echo
echo "== Mensajes en $BUZON"
imap "$BUZON" 'FETCH 1:* (BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)])' | tr -d '\r' |
  sed -n 's/^Subject: //p' | perl -CO -MEncode -ne 'chomp; printf "  %s\n", decode("MIME-Header", $_)' | sort

echo
echo "== Marcando dos artículos para descargar (como lo haría el teléfono: \\Flagged por IMAP)"
n=0
for palabra in sizeof Punteros; do
  uid=$(imap "$BUZON" "UID SEARCH SUBJECT $palabra NOT HEADER In-Reply-To \"\"" | tr -d '\r' | awk '/^\* SEARCH/ {print $3}')
  if [ -n "$uid" ]; then
    imap "$BUZON" "UID STORE $uid +FLAGS (\\Flagged)" >/dev/null
    n=$((n + 1))
  fi
done
echo "  $n marcados"
run --once                     # their text is downloaded: a new message each, flagged, unread

echo
echo "== Los mensajes marcados tras la pasada (banderas y clase)"
imap "$BUZON" 'SEARCH FLAGGED' | tr -d '\r' | awk '/^\* SEARCH/ {for (i = 3; i <= NF; i++) print $i}' | while read -r m; do
  imap "$BUZON" "FETCH $m (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT X-TABLON-CLASE)])" | tr -d '\r' |
    grep -E '^(\* [0-9]+ FETCH|Subject:|X-Tablon-Clase:)' | sed -e 's/ BODY\[.*//' -e 's/^/  /'
done

echo
echo "\$ tablon --once        (una pasada más: nada que hacer; TABLON_TRAZA_IMAP muestra sus órdenes)"
TABLON_TRAZA_IMAP=$DEMO/traza-imap "$TABLON" --once
echo "  órdenes que cambian la cuenta: $(grep -cE '^a[0-9]+ (UID )?(APPEND|STORE|EXPUNGE|MOVE|COPY|CREATE) ' "$DEMO/traza-imap" || true)"

if command -v tmux >/dev/null && command -v neomutt >/dev/null; then
  echo
  echo "== Lo que muestra neomutt por IMAP (set sort=threads)"
  sock=tablon-demo-$$
  tmux -u -f /dev/null -L "$sock" new-session -d -x 100 -y 14 \
    "env LANG=C.UTF-8 LC_ALL=C.UTF-8 neomutt -n -F /dev/null -e 'set imap_user=tablon imap_pass=$CLAVE sort=threads' -f 'imap://127.0.0.1:$PUERTO/$BUZON'"
  sleep 3
  tmux -u -L "$sock" capture-pane -p | sed 's/^/  /'
  tmux -L "$sock" kill-server 2>/dev/null || true
fi

cat <<TXT

== Listo. La cuenta IMAP sigue en marcha (Dovecot en 127.0.0.1:$PUERTO, usuario tablon, contraseña $CLAVE):
  neomutt -e "set imap_user=tablon imap_pass=$CLAVE sort=threads" -f 'imap://127.0.0.1:$PUERTO/$BUZON'
  HOME='$HOME' TABLON_STORE='$TABLON_STORE' TABLON_SERVERS_DIR='$TABLON_SERVERS_DIR' $TABLON
                          otra pasada con el panel interactivo (Intro: otra pasada, q: salir)
  kill \$(cat $IMAPDIR/run/master.pid)      para pararla
TXT
