# Sourced by test.sh and demo.sh: installs, with apt, the Debian packages that building Tablón
# and running its tests and demo need, plus any named as arguments; only the missing ones.
instala_paquetes() {
  local packages=(build-essential cmake ninja-build pkg-config libssl-dev zlib1g-dev libgtest-dev libgmock-dev
                  gettext openssl ca-certificates neomutt tmux dovecot-imapd "$@")
  local missing=() p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== Instalando: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
    # The package starts the system's own Dovecot where it can; the tests run private instances
    # of their own and need none.
    if [[ " ${missing[*]} " == *" dovecot-imapd "* ]]; then
      service dovecot stop >/dev/null 2>&1 || true
    fi
  fi
}
