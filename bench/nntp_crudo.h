// The benchmark's raw NNTP reader: the least a client can do to ask a server for something over
// a plain socket — no parsing beyond line ends, no bounds, no deadlines. The floors of
// bench/bench.cc are measured with it. Every call throws std::runtime_error on failure.
//
// It connects to 127.0.0.1:PORT (INN itself, or the slow link in front of it), reads the
// greeting and switches INN to reader mode (MODE READER, its reply awaited: INN loses a command
// sent in the same write while it hands the connection to nnrpd). TCP_NODELAY is on and
// TCP_QUICKACK is set before every read (INN writes in small segments; without it delayed ACKs
// meet INN's Nagle and each read can stall about 40 ms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tablon::bench {

class NntpCrudo {
 public:
  explicit NntpCrudo(std::uint16_t puerto);
  ~NntpCrudo();  // QUIT, without waiting for its reply
  NntpCrudo(const NntpCrudo&) = delete;
  NntpCrudo& operator=(const NntpCrudo&) = delete;

  // Sends `s` plus CRLF.
  void Envia(const std::string& s);
  // Sends every command of `ordenes`, each plus CRLF, in one write.
  void EnviaVarias(const std::vector<std::string>& ordenes);
  // Sends `s` and answers its status line.
  std::string Orden(const std::string& s);
  // The next line without CRLF; valid until the next call.
  std::string_view Linea();
  // Reads a multi-line block to its "."; answers its bytes (line ends included) and lines.
  std::pair<std::size_t, std::size_t> Bloque();
  // ARTICLE `id`: the article's text as the store keeps it (dot-unstuffed, LF line ends).
  std::string Articulo(const std::string& id);

 private:
  int fd_ = -1;
  std::vector<char> buf_;
  std::size_t ini_ = 0, fin_ = 0;
};

}  // namespace tablon::bench
