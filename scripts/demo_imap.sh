# Sourced by demo.sh --imap, once the groups are on the local INN: the demo's workflow with an
# IMAP account as the store. A private Dovecot (configuration, mail, indexes and log of its own in
# $IMAPDIR; nothing of a system Dovecot is used or touched) serves one user, "tablon", whose
# password Tablón finds in the demo's own ~/.netrc.
readonly IMAPDIR=${TABLON_DEMO_IMAP_DIR:-/var/tmp/tablon-demo-imap}
readonly PUERTO=${TABLON_DEMO_IMAP_PORT:-10143}
readonly CLAVE=clave-de-la-demo

echo "== Cuenta IMAP privada (Dovecot en 127.0.0.1:$PUERTO)"
# An earlier demo's Dovecot is stopped first (it holds the port until it is gone).
if [ -f "$IMAPDIR/run/master.pid" ]; then
  pid=$(cat "$IMAPDIR/run/master.pid")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
fi
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

# What a phone or any IMAP client sees and does: curl speaks IMAP. `imap FOLDER [COMMAND]`.
imap() { curl -s --netrc-file "$HOME/.netrc" "imap://127.0.0.1:$PUERTO/$1" ${2:+-X "$2"}; }
# The UIDs of the folder's messages that match an IMAP search.
uids() { imap "$BUZON" "UID SEARCH $1" | tr -d '\r' | awk '/^\* SEARCH/ {for (i = 3; i <= NF; i++) print $i}'; }
# One line per message of the folder matching the search: subject, class and flags, fetched
# without marking anything read (curl prints a reply's literals only in its trace).
muestra() {
  local uid
  for uid in $(uids "$1"); do
    curl -v -s --netrc-file "$HOME/.netrc" "imap://127.0.0.1:$PUERTO/$BUZON" \
      -X "UID FETCH $uid (FLAGS BODY.PEEK[HEADER.FIELDS (SUBJECT X-TABLON-CLASE)])" 2>&1 | tr -d '\r' |
      sed -n 's/^< //p' | awk '
        /^\* [0-9]+ FETCH/ { match($0, /FLAGS \([^)]*\)/); f = substr($0, RSTART + 7, RLENGTH - 8) }
        /^Subject: / { s = substr($0, 10) }
        /^X-Tablon-Clase: / { c = substr($0, 17) }
        END { printf "%s\t%s\t%s\n", s, c, f }'
  done | perl -CO -MEncode -ne 'chomp; my ($s, $c, $f) = split /\t/;
    printf "  %-44s %-22s %s\n", decode("MIME-Header", $s), $c, $f' | sort
}

run add-server "$HOST"
echo; echo "\$ tablon --once        (primera pasada: aprende los grupos del servidor; resumen)"
"$TABLON" --once
run groups "$HOST" 'demo.*'
run subscribe "$HOST" demo.comp.lang.c demo.es.charla
run --once                     # the headers arrive, threaded, as messages of the account

readonly BUZON=news/$HOST/demo/comp/lang/c
echo
echo "== Carpetas de la cuenta"
imap "" 'LIST "" "news/*"' | tr -d '\r' | sed 's/^/  /'
echo
echo "== Mensajes en $BUZON (asunto, clase, banderas)"
muestra ALL

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
echo "== Los mensajes marcados tras la pasada: con su texto, sin leer"
muestra FLAGGED

echo
echo "\$ tablon --once        (una pasada más: nada que hacer; TABLON_TRAZA_IMAP muestra sus órdenes)"
TABLON_TRAZA_IMAP=$DEMO/traza-imap "$TABLON" --once
echo "  órdenes que cambian la cuenta: $(grep -cE '^a[0-9]+ (UID )?(APPEND|STORE|EXPUNGE|MOVE|COPY|CREATE) ' "$DEMO/traza-imap" || true)"

pantalla_neomutt "== Lo que muestra neomutt por IMAP (set sort=threads)" \
  "-e 'set imap_user=tablon imap_pass=$CLAVE sort=threads ssl_starttls=no ssl_force_tls=no folder=imap://127.0.0.1:$PUERTO/' -f '=$BUZON'"

cat <<TXT

== Listo. La cuenta IMAP sigue en marcha (Dovecot en 127.0.0.1:$PUERTO, usuario tablon, contraseña $CLAVE):
  neomutt -e "set imap_user=tablon imap_pass=$CLAVE ssl_starttls=no ssl_force_tls=no sort=threads folder=imap://127.0.0.1:$PUERTO/" -f '=$BUZON'
  HOME='$HOME' TABLON_STORE='$TABLON_STORE' TABLON_SERVERS_DIR='$TABLON_SERVERS_DIR' $TABLON
                          otra pasada con el panel interactivo (Intro: otra pasada, q: salir)
  kill \$(cat $IMAPDIR/run/master.pid)      para pararla
TXT
