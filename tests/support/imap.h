// A small blocking IMAP4rev1 client for tests, apart from the code under test: it sends one
// tagged command at a time over plain TCP to 127.0.0.1 and reads the whole response, taking a
// server literal ("{n}" at a line end) as exactly n bytes. Every read waits at most `espera_s`
// seconds and then throws, so a test never hangs on a silent server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tablon::test {

// One message of the selected folder, as FETCH reports it.
struct MensajeImap {
  std::uint32_t secuencia = 0;
  std::uint32_t uid = 0;
  std::uint64_t tamano = 0;             // RFC822.SIZE: the size with CRLF line ends
  std::vector<std::string> banderas;    // FLAGS, as sent ("\\Seen", "\\Flagged", "$Label1")
  std::string estructura;               // BODYSTRUCTURE, the parenthesised text as sent
  bool Tiene(std::string_view bandera) const;
};

// The text with every bare LF made CRLF: how IMAP serves and counts a message stored with LF.
std::string ConCrlf(std::string_view s);

class ClienteImap {
 public:
  // Connects and reads the greeting; throws unless it is "* OK".
  explicit ClienteImap(std::uint16_t port, int espera_s = 10);
  ~ClienteImap();  // LOGOUT (its answer is not awaited), then closes
  ClienteImap(const ClienteImap&) = delete;
  ClienteImap& operator=(const ClienteImap&) = delete;

  const std::string& Saludo() const { return saludo_; }

  // Sends "aN texto" and returns the whole response, CRLF line ends kept: the untagged lines
  // (literals inline, "{n}\r\n" and their n bytes) and last the tagged line. Throws on timeout
  // or a closed connection, not on a NO or BAD answer.
  std::string Comando(const std::string& texto);
  // The same, but throws (with the response) unless the tagged answer is OK.
  std::string ComandoOk(const std::string& texto);

  void Login(const std::string& usuario, const std::string& clave);
  // SELECT (read-write, as a mail client opens a folder); `carpeta` is the IMAP name ("a/b",
  // modified UTF-7 beyond ASCII). Returns the message count (EXISTS).
  std::uint32_t Select(const std::string& carpeta);
  // NOOP: the server reports what changed in storage since (EXISTS, EXPUNGE, FETCH FLAGS).
  std::string Noop();

  // Every message of the selected folder, in sequence order (UID FETCH 1:* (UID RFC822.SIZE
  // BODYSTRUCTURE FLAGS), after a NOOP so that files added or removed meanwhile are seen).
  std::vector<MensajeImap> Lista();
  // The message's whole text as served (BODY.PEEK[]: the \Seen flag stays as it is). Throws
  // when the folder has no message with that UID.
  std::string Cuerpo(std::uint32_t uid);

 private:
  void Envia(const std::string& datos);
  // One response line up to its CRLF, with any literals it announces read into it.
  std::string Linea();

  int fd_ = -1;
  int espera_s_;
  std::uint32_t etiqueta_ = 0;
  std::string buf_;
  std::string saludo_;
};

}  // namespace tablon::test
