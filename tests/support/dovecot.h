// A private Dovecot IMAP server over a Maildir store ("fs" layout), for tests that check what a
// real IMAP client is served from what the store wrote. Each instance has a configuration, run
// directory, state, log and indexes of its own in a temporary directory, listens on 127.0.0.1 on
// a free port and lets one fixed user log in with a plain-text password. Nothing of the system's
// own Dovecot (configuration, service, port) is used or touched.
//
// Mail user: Dovecot refuses uid 0 for mail access, so when the tests run as root the mail
// processes run as "nobody" (present on every Debian system; the instance only needs some
// unprivileged uid) and otherwise as the current user. Dovecot keeps its index, uid list and
// INBOX outside the store, so the store holds only what the program wrote (Dovecot still renames
// files as any IMAP server does: new/ to cur/, flag changes).
//
// Access: the store writes its directories 0700 and its files 0600, owned by whoever runs the
// tests. When that is root, the mail uid can read nothing of it until it is handed over: Entrega()
// gives every file and directory of the store to the mail uid and lets it pass through the
// store's parent directories that the test process owns (a temporary directory is 0700). The
// constructor does it once; call it again after every write to the store (a pass, a Save) and
// before the next IMAP command: a file Dovecot cannot open makes it drop the connection. When the
// tests run unprivileged it does nothing.
//
// TLS (OpcionesDovecot::tls): the instance then also listens for implicit TLS (imaps) on a port
// of its own (PortImaps) and offers STARTTLS on the plain port, with the given identity's key and
// certificate (copied into the instance's directory when it starts). Plain-text logins stay
// allowed on the plain port, as the peer is loopback.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/tmpdir.h"

namespace tablon::test {

class TlsIdentity;

struct OpcionesDovecot {
  const TlsIdentity* tls = nullptr;  // none: plain IMAP only
  // The capabilities announced after login, when not empty (Dovecot's imap_capability): e.g.
  // "IMAP4rev1 LITERAL+" for a server a client must treat as one without UIDPLUS and MOVE.
  std::string capacidades;
};

class Dovecot {
 public:
  // The user and password the instance accepts.
  static constexpr const char* kUsuario = "tablon";
  static constexpr const char* kClave = "clave-de-pruebas";

  // The server is installed (/usr/sbin/dovecot).
  static bool Available();

  // Starts the instance over `store` (its root need not exist yet) and waits, at most 10 s, until
  // it greets on its port. Throws std::runtime_error with the instance's log when it does not.
  explicit Dovecot(std::filesystem::path store, OpcionesDovecot opciones = {});
  // Stops the instance and waits for it (SIGTERM, then SIGKILL after 10 s).
  ~Dovecot();
  Dovecot(const Dovecot&) = delete;
  Dovecot& operator=(const Dovecot&) = delete;

  std::uint16_t Port() const { return port_; }
  // The implicit-TLS port; 0 without TLS.
  std::uint16_t PortImaps() const { return port_imaps_; }
  uid_t UidCorreo() const { return uid_; }
  // Hands the store over to the mail uid (see above). Entries removed meanwhile are skipped.
  void Entrega() const;
  // The instance's log and its own standard output and error, for failure messages.
  std::string Log() const;

 private:
  void Arranca();
  void Para();

  std::filesystem::path store_;
  TmpDir dir_;
  uid_t uid_;
  gid_t gid_;
  OpcionesDovecot opciones_;
  std::uint16_t port_ = 0;
  std::uint16_t port_imaps_ = 0;
  pid_t pid_ = -1;
};

}  // namespace tablon::test
