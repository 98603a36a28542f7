// The benchmark's raw IMAP client: the least a client can do to ask an IMAP server for something
// over a plain socket — tagged commands sent as given, responses read to their tagged line with
// the server's literals ("{n}" at a line end) taken as n bytes and nothing else parsed; no
// bounds, no deadlines. The IMAP floors of bench/bench.cc are measured with it. Every call throws
// std::runtime_error on failure (a NO or BAD where OK was due included).
//
// It connects to 127.0.0.1:PORT, reads the greeting and logs in (LOGIN, in the clear: the server
// is a private instance on loopback). TCP_NODELAY is on and TCP_QUICKACK is set before every
// read, as in bench/nntp_crudo.h. Messages are sent as LITERAL+ literals ("{n+}"): the server
// must offer LITERAL+ (Dovecot does).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace tablon::bench {

class ImapCrudo {
 public:
  ImapCrudo(std::uint16_t puerto, const std::string& usuario, const std::string& clave);
  ~ImapCrudo();  // LOGOUT, without waiting for its reply
  ImapCrudo(const ImapCrudo&) = delete;
  ImapCrudo& operator=(const ImapCrudo&) = delete;

  // Called with each untagged response's text (literals replaced by "{n}") and its literals.
  using Oyente = std::function<void(std::string_view linea, const std::vector<std::string>& literales)>;

  // Sends "TAG texto" and reads to its tagged line, which it answers; throws unless it is OK.
  // Untagged responses go to `oyente` (none: dropped, their literals skipped unread into memory).
  std::string Orden(const std::string& texto, const Oyente& oyente = {});

  // SELECT `buzon` (an IMAP name without quoting needs); answers EXISTS.
  std::uint32_t Selecciona(const std::string& buzon);
  // The UIDs of the selected mailbox, in order (UID SEARCH ALL).
  std::vector<std::uint32_t> Uids();

  // One APPEND per message into `buzon` (flags `banderas`, e.g. "()"), pipelined: at most
  // `ventana` outstanding (the first `ventana` sent in one write, then one more after each
  // tagged reply read). Throws at the first reply that is not OK.
  void Appends(const std::string& buzon, const std::string& banderas, const std::vector<std::string>& mensajes,
               std::size_t ventana);
  // MULTIAPPEND (RFC 3502): the messages in commands of at most `lote` messages each, one
  // command at a time.
  void MultiAppend(const std::string& buzon, const std::string& banderas, const std::vector<std::string>& mensajes,
                   std::size_t lote);

 private:
  std::string Etiqueta();
  void EnviaBytes(std::string_view datos);
  // One response without CRLF, its literals read (into `literales` when given, else dropped)
  // and left as "{n}" in the text. Answers the text.
  std::string Respuesta(std::vector<std::string>* literales);
  // Reads responses up to the line tagged `etiqueta`; answers that line.
  std::string HastaEtiqueta(const std::string& etiqueta, const Oyente& oyente);
  std::string_view LineaCruda();
  void Lee(std::size_t n, std::string* destino);

  int fd_ = -1;
  std::uint64_t contador_ = 0;
  std::vector<char> buf_;
  std::size_t ini_ = 0, fin_ = 0;
};

}  // namespace tablon::bench
