// The transport under both protocols: one TCP connection, plain or TLS, with every wait
// bounded. The news session (nntp/sesion.h) reads it by lines; the IMAP store's session
// (store/imap/sesion_imap.h) by bytes, never compressed.
//
//  - Name resolution and connecting share one deadline (the timeout): the name is resolved in a
//    helper thread (getaddrinfo has no time limit of its own) and a resolution still running at
//    the deadline is left to finish on its own; then each address is tried with a non-blocking
//    connect.
//  - Every read and every write waits at most the timeout for the socket to become ready (a
//    quiet peer), and every exchange — a command and its whole reply, however many lines — has
//    a deadline of its own (a peer that keeps a reply alive by sending it slowly): started by
//    `IniciaPlazo`, it lies `timeout + bytes received / kTasaMinima` after the start, so a
//    reply that arrives at kTasaMinima or faster is never cut, and one that trickles slower ends
//    within about one timeout. Either wait running out raises errnum::kTiempoAgotado; end of
//    stream errnum::kConexionCerrada.
//  - TCP_NODELAY is on; TCP_QUICKACK is set again before every read because Linux clears it,
//    and without it delayed ACKs meet the server's Nagle and each small segment stalls about
//    40 ms.
//  - TLS (OpenSSL): SNI with the host name, the chain verified against the system's trust store
//    plus an optional PEM file, the certificate matched to the host name or IP address. Any
//    failure: errnum::kTls with OpenSSL's reason.
//  - SIGPIPE is never raised: a peer that vanishes is an error, not the end of the program.
//  - Compression (NNTP's COMPRESS DEFLATE, RFC 8054), once the news session has started it:
//    raw deflate (zlib, a 32 KiB window) in both directions, over TLS when there is TLS. Each
//    Escribe is deflated and flushed (Z_SYNC_FLUSH) as one piece, so a command — or a batch of
//    pipelined commands — reaches the server whole. Received bytes are inflated in pieces of at
//    most one read block straight into the line buffer (red/lineas.h), so the bounds of lines and
//    replies hold for the inflated bytes: a small compressed reply that inflates to gigabytes
//    meets them as a long plain one would. The exchange's deadline counts the inflated bytes (the
//    reply's own), so a server that keeps the stream busy with blocks that inflate to nothing
//    gains no time. A stream that does not inflate is errnum::kProtocolo; one cut short,
//    kConexionCerrada.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "red/lineas.h"

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace tablon::red {

class Conexion {
 public:
  // Connects to `nombre`:`puerto`. Errors: kHostDesconocido, kConexionRechazada,
  // kTiempoAgotado, or the errno mapping (core/error.h).
  static std::unique_ptr<Conexion> Abre(const std::string& nombre, std::uint16_t puerto,
                                        std::chrono::milliseconds timeout);
  ~Conexion();
  Conexion(const Conexion&) = delete;
  Conexion& operator=(const Conexion&) = delete;

  // Runs the TLS handshake on the open connection (from the first byte, or once the server has
  // agreed to STARTTLS) and verifies the server's certificate for `nombre`. Bytes already
  // received and not read would have been sent in the clear: they are a protocol error.
  void IniciaTls(const std::string& nombre, const std::string& archivo_confianza);
  bool EsTls() const { return ssl_ != nullptr; }

  // Compresses both directions from the next byte (once the server has agreed). Bytes already
  // received and not read as lines came uncompressed where compressed ones were due: a protocol
  // error. TLS cannot start afterwards.
  void IniciaCompresion();
  bool Comprimida() const { return z_ != nullptr; }

  // The peer's address is a loopback one (127.0.0.0/8, ::1, ::ffff:127.x).
  bool PeerEsLoopback() const { return loopback_; }

  void Timeout(std::chrono::milliseconds t) { timeout_ = t; }

  // The slowest a reply may arrive, in bytes per second, once its first timeout is spent.
  static constexpr std::uint64_t kTasaMinima = 4096;
  // Starts the deadline of the next exchange (see above): called before a command is sent, and
  // again before a reply asked for earlier starts to be read. A new connection starts one for
  // its greeting (and TLS handshake).
  void IniciaPlazo();

  // Sends all of `datos` (deflated and flushed as one piece when compressed).
  void Escribe(std::string_view datos);
  // The next line, without its line end; valid until the next call.
  std::string_view LeeLinea();
  // Raw bytes, for a protocol that frames its own replies (IMAP literals): bytes received and
  // not read as lines first, else one receive (with the same waits and deadline as lines).
  // Returns 1 to `n` bytes (0 only when `n` is 0); end of stream raises kConexionCerrada.
  std::size_t LeeBytes(char* destino, std::size_t n);

  // "name:port" as errors show it.
  const std::string& Descripcion() const { return descripcion_; }

 private:
  Conexion(int fd, std::string descripcion, bool loopback, std::chrono::milliseconds timeout);
  // Receives more bytes into `lineas_` (inflated when compressed).
  void Recibe();
  // Receives 1 to `n` bytes from the socket (or TLS) into `destino`; end of stream raises.
  std::size_t RecibeCrudo(char* destino, std::size_t n);
  // Sends all of `datos` to the socket (or TLS) as they are.
  void EscribeCrudo(std::string_view datos);
  // Raises errnum::kConexionCerrada: `formato` (marked for translation) names the server by a "%s".
  [[noreturn]] void FallaCierre(const char* formato) const;
  // Waits until the socket is ready for `eventos` (POLLIN/POLLOUT), at most the timeout and
  // never past the exchange's deadline. `para` (marked with ParaTraducir) says in an error what
  // the connection was doing.
  void Espera(short eventos, const char* para);
  // Raises errnum::kTiempoAgotado when the exchange's deadline has passed.
  void CompruebaPlazo(const char* para);
  // Raises errnum::kTiempoAgotado for a server that said nothing for the timeout.
  [[noreturn]] void FallaSilencio(const char* para) const;
  // Milliseconds left before the exchange's deadline (negative when past).
  std::int64_t RestaDelPlazo() const;
  [[noreturn]] void FallaTls(const std::string& que);

  int fd_ = -1;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  std::string descripcion_;
  bool loopback_ = false;
  std::chrono::milliseconds timeout_;
  std::chrono::steady_clock::time_point plazo_inicio_;
  std::uint64_t plazo_bytes_ = 0;  // bytes received since plazo_inicio_ (inflated, when compressed)
  Lineas lineas_;
  struct Zlib;  // both directions' zlib streams and the compressed input (conexion.cc)
  std::unique_ptr<Zlib> z_;
};

}  // namespace tablon::red
