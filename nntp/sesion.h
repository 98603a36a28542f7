// One NNTP session (RFC 3977) under the news control: the connection and what the client knows
// of it. It opens the connection (plain, or TLS from the first byte), reads the greeting, learns
// the capabilities, asks for MODE READER when the server is not yet a reader, upgrades with
// STARTTLS and authenticates (AUTHINFO USER/PASS, from the settings or ~/.netrc) when a command
// is met by a request for credentials, starts compression (COMPRESS DEFLATE) where the server
// offers it, and gives the control the primitives its operations are made of: send a command,
// read its status, read a bounded multi-line block, raise the failure a status reports.
//
// Compression (RFC 8054): neither STARTTLS nor credentials may follow it on a connection, so it
// starts at connect only when neither can be needed later — the server lists no AUTHINFO USER,
// and the connection is TLS already, or the server offers no STARTTLS, or the peer is loopback —
// and otherwise right after authenticating. A server that asks for credentials once compression
// is on gets none: the failure (errnum::kProtocolo) drops the connection, and the session's later
// connections authenticate before compressing. COMPRESS is sent once per connection; 403, 502
// or any other refusal leaves the connection uncompressed.
//
// Only the control (nntp/control.h) uses it; it is not a public interface of its own. It keeps no state
// of the operations (group, overview, article): what those need at two points of the session —
// before a command goes out, and after authenticating — the owner gives as `Avisos`.
//
// Failures throw tablon::Error as nntp/control.h describes. The session never drops its connection
// by itself: after a failure that leaves the stream at an unknown point (timeout, closed
// connection, unreadable or oversized reply, TLS) the owner must call Olvida.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/error.h"
#include "nntp/direccion_nntp.h"
#include "nntp/respuesta.h"

namespace tablon::red {
class Conexion;  // the transport (TCP or TLS), red/conexion.h
}  // namespace tablon::red

namespace tablon::nntp {

// When the session compresses (where the server offers COMPRESS DEFLATE).
enum class ModoCompresion {
  kSalvoLoopback,  // except to a loopback peer: there is no link to save, only CPU to spend
  kSi,             // also to a loopback peer
  kNo,
};

// Raises errnum::kArgumentoNoValido, naming `propiedad`, when `valor` holds CR, LF or NUL: a
// text that goes into a command line must not end it or start another.
void CompruebaTexto(std::string_view valor, const char* propiedad);

class Sesion {
 public:
  // What the owner does at two points of the session.
  struct Avisos {
    // Before each command is sent: read what was asked for ahead and not read yet, so that the
    // stream then stands at this command's reply.
    std::function<void()> antes_de_enviar;
    // After authenticating, before `comando` (the one that asked for credentials) is sent once
    // more: restore what the server may have forgotten (STARTTLS resets the session).
    std::function<void(const std::string& comando)> tras_autenticar;
  };

  // `traza` is called with each command sent and each status line received, ending in CRLF
  // (passwords masked); it is read at each call, so it may be set or changed at any time.
  Sesion(const std::function<void(const std::string&)>& traza, Avisos avisos);
  ~Sesion();
  Sesion(const Sesion&) = delete;
  Sesion& operator=(const Sesion&) = delete;

  // Settings, read where they are used: the timeout at each connect and each RequiereConexion,
  // the credentials, ~/.netrc path and loopback setting when the server asks for credentials,
  // the trust file at each TLS handshake, implicit TLS at each connect.
  void Timeout(std::chrono::milliseconds t) { timeout_ = t; }
  std::chrono::milliseconds Timeout() const { return timeout_; }
  void Usuario(std::string v) { usuario_ = std::move(v); }
  void Contrasena(std::string v) { contrasena_ = std::move(v); }
  void ArchivoConfianza(std::string ruta) { archivo_confianza_ = std::move(ruta); }
  void TlsImplicito(bool v) { tls_implicito_ = v; }
  void RutaNetrc(std::string ruta) { ruta_netrc_ = std::move(ruta); }
  void LoopbackComoRemoto(bool v) { loopback_como_remoto_ = v; }
  // Read at each connect and each authentication; the constructor takes it from
  // TABLON_COMPRESION ("si", "no"; unset or any other value: kSalvoLoopback).
  void Compresion(ModoCompresion m) { compresion_ = m; }
  ModoCompresion Compresion() const { return compresion_; }

  // Checks `host` and the credentials (CompruebaTexto) and parses `host` (AnalizaHost): what
  // Conecta needs, checked before anything is closed or opened. Raises
  // errnum::kArgumentoNoValido.
  red::Direccion CompruebaDestino(const std::string& host) const;

  // Opens a session with `destino`: connects, reads the greeting (200 or 201), reads the
  // capabilities and sends MODE READER when the server is not a reader (authenticating if that
  // asks for it); a server that greets in transit mode gets MODE READER first and is asked
  // its capabilities once it reads. Call it without a connection (Desconecta first: one still open is dropped
  // without QUIT). On failure the connection may be half made: the caller drops it with Olvida.
  void Conecta(const red::Direccion& destino);
  // Sends QUIT, ignoring any failure, then Olvida; its reply is not waited for. Nothing without
  // a connection.
  void Desconecta();
  // Drops the connection at once (nothing sent) and what was known of it. The server's name and
  // text stay, for the error texts of the failure that dropped it.
  void Olvida();

  bool Conectada() const { return conn_ != nullptr; }
  // Raises errnum::kProtocolo without a connection; else applies the timeout to it.
  void RequiereConexion();

  // The server as error texts name it: "name:port", "[v6]:port"; empty before any connect.
  const std::string& TextoServidor() const { return texto_servidor_; }
  // The last status line received.
  const std::string& LineaEstado() const { return linea_estado_; }
  // The server lists OVER; DescartaOver forgets it (a server that refused OVER all the same)
  // until the capabilities are read again.
  bool TieneOver() const { return tiene_over_; }
  void DescartaOver() { tiene_over_ = false; }

  // Starts the deadline of the next exchange (Conexion::IniciaPlazo): for a reply asked for
  // earlier whose reading starts now. Envia starts one itself.
  void IniciaPlazo();
  // Runs Avisos::antes_de_enviar, then sends one command line and starts its deadline; the trace
  // shows `traza` instead of the command when given.
  void Envia(const std::string& comando, const char* traza = nullptr);
  // Reads a status line into LineaEstado and returns its code; a line that is not a status line:
  // errnum::kProtocolo.
  int LeeRespuesta();
  // The status just read (`codigo`, LineaEstado) asks for credentials (480, or 401 AUTHINFO)
  // and none have been given yet in this session.
  bool PideCredenciales(int codigo) const;
  // Sends `comando` and reads its status; when that asks for credentials, authenticates
  // (Autentica), runs Avisos::tras_autenticar and sends it once more. Returns the status code,
  // whatever it is: a failure status is the caller's to raise (FallaEstado).
  int Orden(const std::string& comando);
  // `codigo` is the status just read for `comando`, sent earlier: when it asks for credentials,
  // authenticates, runs Avisos::tras_autenticar, sends `comando` once more and returns that
  // status; else returns `codigo`. Fails as Orden.
  int ConCredenciales(int codigo, const std::string& comando);
  // Reads a multi-line block up to its ".", giving each line dot-unstuffed; `limite` bounds it,
  // the error of a block that goes over (errnum::kProtocolo) names it as the reply to `comando`.
  void LeeBloque(Limite limite, const std::string& comando, const std::function<void(std::string_view)>& por_linea);
  // Raises the failure LineaEstado reports for `comando` ("": the greeting): the status code
  // from 400 up, errnum::kProtocolo for any other.
  [[noreturn]] void FallaEstado(const std::string& comando) const;
  // The failure FallaEstado raises, returned instead (for a reply whose failure is raised
  // later, once the replies behind it are read).
  Error ErrorEstado(const std::string& comando) const;

 private:
  // Answers the server's request for credentials with AUTHINFO USER/PASS (RFC 4643), upgrading
  // to TLS first where the server offers STARTTLS. Raises 480 when there are no credentials,
  // errnum::kCredenciales when they cannot be sent safely or are refused,
  // errnum::kArgumentoNoValido when they hold CR, LF or NUL. Reads the capabilities again.
  void Autentica();
  // STARTTLS, the handshake, then the capabilities again; a refusal: errnum::kTls.
  void IniciaStartTls();
  // CAPABILITIES; a server that does not know the command leaves nothing known.
  void LeeCapacidades();
  // COMPRESS DEFLATE when the setting wants it, the server lists it, the connection is not
  // compressed yet and was not refused it; `tras_autenticar` false (at connect): only when no
  // STARTTLS and no credentials can be needed later on this connection.
  void IntentaCompresion(bool tras_autenticar);

  const std::function<void(const std::string&)>& traza_;
  Avisos avisos_;

  std::chrono::milliseconds timeout_{60000};
  std::string usuario_, contrasena_;
  std::string archivo_confianza_;
  bool tls_implicito_ = false;
  std::string ruta_netrc_;  // empty: $HOME/.netrc
  bool loopback_como_remoto_ = false;

  std::unique_ptr<red::Conexion> conn_;
  // Capabilities of the current connection.
  bool capacidades_conocidas_ = false;
  bool tiene_over_ = false;
  bool tiene_starttls_ = false;
  bool tiene_reader_ = false;
  bool tiene_authinfo_ = false;
  bool tiene_authinfo_user_ = false;  // AUTHINFO lists USER
  bool tiene_compress_deflate_ = false;  // COMPRESS lists DEFLATE
  bool autenticada_ = false;
  bool compresion_rechazada_ = false;  // COMPRESS was refused on this connection
  ModoCompresion compresion_ = ModoCompresion::kSalvoLoopback;
  // A server asked for credentials on a compressed connection: later connections authenticate
  // before compressing. Kept across connections.
  bool autenticar_antes_de_comprimir_ = false;
  std::string nombre_servidor_;  // host name or address, for TLS and ~/.netrc
  std::string texto_servidor_;   // "name:port" as error texts show it
  std::string linea_estado_;     // the last status line received
};

}  // namespace tablon::nntp
