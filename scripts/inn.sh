#!/bin/bash
# The local INN news server the tests (and the demo) run against.
#
#   scripts/inn.sh install   install inn2 when missing and configure it for loopback tests
#   scripts/inn.sh start     start innd (when not running) and wait until it greets with 200
#   scripts/inn.sh stop      stop innd and innwatch
#   scripts/inn.sh status    exit 0 when the server answers 200 on its port, 1 otherwise
#   scripts/inn.sh port      print the port the server listens on
#
# The server listens on 127.0.0.1 only, on port $TABLON_INN_PORT (default 11119). Every step is
# idempotent; it needs root (apt-get, /etc/news, su news). Nothing waits on innwatch's inherited
# stderr: rc.news's output goes to a log file.
set -euo pipefail

readonly CONF_DIR=/etc/news
readonly INN_CONF=$CONF_DIR/inn.conf
readonly READERS_CONF=$CONF_DIR/readers.conf
readonly INCOMING_CONF=$CONF_DIR/incoming.conf
readonly BIN_DIR=/usr/lib/news/bin
readonly LOG_DIR=/var/log/news
readonly RC_LOG=$LOG_DIR/tablon-rc.news.log
readonly MARK="# tablon: local test server"

die() { echo "inn.sh: $*" >&2; exit 1; }

need_root() { [ "$(id -u)" -eq 0 ] || die "hace falta ser root"; }

wanted_port() { echo "${TABLON_INN_PORT:-11119}"; }

# The port inn.conf names (119 when it names none).
conf_port() {
  local p=""
  if [ -r "$INN_CONF" ]; then
    p=$(sed -n 's/^port:[[:space:]]*\([0-9][0-9]*\).*/\1/p' "$INN_CONF" | tail -n 1)
  fi
  echo "${p:-119}"
}

# Sets "key: value" in inn.conf, replacing an active or commented-out line or appending one.
set_conf() {
  local key=$1 value=$2
  if grep -Eq "^#?[[:space:]]*${key}:" "$INN_CONF"; then
    sed -i -E "s|^#?[[:space:]]*${key}:.*|${key}: ${value}|" "$INN_CONF"
    # Keep only the first occurrence should the file have held the key twice.
    awk -v k="${key}:" 'index($0, k) == 1 { if (seen++) next } { print }' "$INN_CONF" >"$INN_CONF.tmp"
    cat "$INN_CONF.tmp" >"$INN_CONF"
    rm -f "$INN_CONF.tmp"
  else
    echo "${key}: ${value}" >>"$INN_CONF"
  fi
}

# Reads the first line the server sends on $1 (port); prints it, fails when nothing comes.
greeting() {
  local port=$1 line=""
  exec 3<>"/dev/tcp/127.0.0.1/$port" || return 1
  IFS= read -r -t 5 line <&3 || true
  printf 'QUIT\r\n' >&3 2>/dev/null || true
  exec 3<&- 3>&-
  [ -n "$line" ] || return 1
  printf '%s\n' "${line%$'\r'}"
}

answers_200() {
  local line
  line=$( (greeting "$1") 2>/dev/null) || return 1
  [[ $line == 200* ]]
}

configure() {
  [ -f "$INN_CONF" ] || die "$INN_CONF no existe"
  local port
  port=$(wanted_port)
  # The package's post-install step needs a domain; the path host names this server.
  grep -Eq '^domain:[[:space:]]*[^[:space:]]' "$INN_CONF" || set_conf domain example.test
  set_conf pathhost tablon.test
  set_conf port "$port"
  set_conf bindaddress 127.0.0.1
  set_conf bindaddress6 none
  # Fixtures are dated now, but a slow run or a clock step must not make INN refuse them.
  set_conf artcutoff 0
  # Tests open many reader connections in a short time.
  set_conf nnrpdloadlimit 0
  set_conf maxconnections 0

  # Readers on loopback may read and post everything without credentials.
  if ! grep -qF "$MARK" "$READERS_CONF" 2>/dev/null; then
    cat >>"$READERS_CONF" <<EOF

$MARK
auth "tablon-localhost" {
    hosts: "localhost, 127.0.0.1, ::1, stdin"
    default: "<tablon-localhost>"
}
access "tablon-localhost" {
    users: "<tablon-localhost>"
    newsgroups: "*"
    access: RPA
}
EOF
  fi
  # localhost may feed articles (the package's "ME" peer); a test run may stream on several
  # connections at once.
  sed -i -E 's/^(max-connections:[[:space:]]*)[0-9]+/\10/' "$INCOMING_CONF"
}

cmd_install() {
  need_root
  if ! dpkg-query -W -f='${Status}' inn2 2>/dev/null | grep -q "install ok installed"; then
    export DEBIAN_FRONTEND=noninteractive
    if ! apt-cache show inn2 >/dev/null 2>&1; then
      apt-get update -q
    fi
    # The package must not start innd before it is configured (on loopback, with our port),
    # nor leave innwatch holding this script's output: keep services from starting meanwhile.
    if [ ! -e /usr/sbin/policy-rc.d ]; then
      printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
      chmod 755 /usr/sbin/policy-rc.d
      trap 'rm -f /usr/sbin/policy-rc.d' EXIT
    fi
    # The post-install step fails on a host without a domain; it is completed below.
    apt-get install -y -q -o Dpkg::Options::=--force-confold inn2 </dev/null || true
    [ -f "$INN_CONF" ] || die "la instalación de inn2 no dejó $INN_CONF"
    configure
    dpkg --configure -a </dev/null
    dpkg-query -W -f='${Status}' inn2 | grep -q "install ok installed" \
      || die "inn2 no quedó instalado"
  fi
  local before after
  before=$(cat "$INN_CONF" "$READERS_CONF" "$INCOMING_CONF" | md5sum)
  configure
  after=$(cat "$INN_CONF" "$READERS_CONF" "$INCOMING_CONF" | md5sum)
  # A server running with another configuration (or started by the package before this one)
  # is stopped; "start" brings it back with this one.
  if pgrep -u news -x innd >/dev/null 2>&1 && { [ "$before" != "$after" ] || ! answers_200 "$(conf_port)"; }; then
    cmd_stop
  fi
  echo "inn.sh: INN configurado en 127.0.0.1:$(conf_port)"
}

cmd_start() {
  need_root
  [ -x "$BIN_DIR/rc.news" ] || die "INN no está instalado (scripts/inn.sh install)"
  local port
  port=$(conf_port)
  if answers_200 "$port"; then
    echo "inn.sh: INN ya responde en 127.0.0.1:$port"
    return 0
  fi
  if ! pgrep -u news -x innd >/dev/null 2>&1; then
    mkdir -p "$LOG_DIR"
    chown news:news "$LOG_DIR" 2>/dev/null || true
    # rc.news leaves innwatch running with its stderr: never let it hold the caller's pipes.
    su news -s /bin/sh -c "$BIN_DIR/rc.news" </dev/null >>"$RC_LOG" 2>&1 \
      || { tail -n 20 "$RC_LOG" >&2; die "rc.news falló"; }
  fi
  local i
  for i in $(seq 1 120); do
    if answers_200 "$port"; then
      echo "inn.sh: INN responde en 127.0.0.1:$port"
      return 0
    fi
    sleep 0.5
  done
  tail -n 20 "$RC_LOG" >&2 || true
  die "INN no responde con 200 en 127.0.0.1:$port"
}

cmd_stop() {
  need_root
  if [ -x "$BIN_DIR/rc.news" ] && pgrep -u news -x innd >/dev/null 2>&1; then
    su news -s /bin/sh -c "$BIN_DIR/rc.news stop" </dev/null >>"$RC_LOG" 2>&1 || true
    local i
    for i in $(seq 1 60); do
      pgrep -u news -x innd >/dev/null 2>&1 || break
      sleep 0.5
    done
  fi
  if pgrep -u news -x innd >/dev/null 2>&1; then
    die "innd sigue en marcha"
  fi
  echo "inn.sh: INN parado"
}

cmd_status() {
  local port line
  port=$(conf_port)
  if line=$( (greeting "$port") 2>/dev/null) && [[ $line == 200* ]]; then
    echo "inn.sh: 127.0.0.1:$port: $line"
    return 0
  fi
  echo "inn.sh: INN no responde en 127.0.0.1:$port"
  return 1
}

case "${1:-}" in
  install) cmd_install ;;
  start) cmd_start ;;
  stop) cmd_stop ;;
  status) cmd_status ;;
  port) conf_port ;;
  *) echo "uso: $0 install|start|stop|status|port" >&2; exit 2 ;;
esac
