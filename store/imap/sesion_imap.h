// One IMAP session (RFC 3501 / RFC 9051) for the store's IMAP backend: the connection, its
// authentication and the primitives the backend's operations are made of — send a tagged
// command (pipelined: several may be in flight), hand each untagged response to the backend as
// it comes, wait for a command's completion.
//
// Opening: the connection (plain, or TLS from the first byte for imaps), the greeting,
// CAPABILITY (unless the greeting carried it), STARTTLS on a plain connection when offered (the
// capabilities are asked again after it), then LOGIN with the location's user and the password
// of ~/.netrc's entry "machine HOST login USER password …" (the first for the host with the
// location's user or without a login). Bytes that follow STARTTLS's OK before the handshake
// came in the clear where encrypted ones were due: kProtocolo. A greeting of PREAUTH needs no
// login; over a plain connection to a peer that is not loopback it is refused (kCredenciales),
// as it would keep the session from TLS. The password is never sent over a plain connection to
// a peer that is not loopback, and never when the server announces LOGINDISABLED. Certificates
// are checked as the news client checks them (red/conexion.h).
//
// Bounds: every response is bounded as store/imap/respuesta_imap.h says; every exchange — a
// command and every response up to its completion — has the news client's deadline (timeout
// plus the bytes received at kTasaMinima); a command met by more untagged responses than
// OpcionesSesion::max_no_etiquetadas is a protocol error (a server that floods keeps neither
// our memory nor our time). Nothing of an untagged response is kept once the handler returns.
//
// Failures raise tablon::Error: kArgumentoNoValido for a location that is not one, and for a
// command text with CR, LF or NUL outside a literal; kHostDesconocido, kConexionRechazada,
// kTiempoAgotado, kConexionCerrada and kTls as the news client raises them; kCredenciales for a
// login refused, a password that could not be sent safely or none found; kProtocolo for
// responses that break the grammar or a bound, a BYE, and a tagged NO or BAD where the caller
// asked for OK (the text names the command — never a password — and quotes the server). After
// any failure but a NO or BAD the session is out of step: its later calls raise kConexionCerrada.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/imap/respuesta_imap.h"
#include "store/imap/ubicacion_imap.h"

namespace tablon::red {
class Conexion;
}

namespace tablon::store::imap {

struct OpcionesSesion {
  std::chrono::milliseconds timeout{60'000};
  // A PEM file trusted besides the system's trust store (tests); empty: none.
  std::string archivo_confianza;
  // Where credentials are looked up; empty: $HOME/.netrc.
  std::string ruta_netrc;
  // Test-only: treat a loopback peer as a remote one (for the plain-text password refusal).
  bool loopback_como_remoto = false;
  Limites limites;
  std::uint64_t max_no_etiquetadas = std::uint64_t{1} << 24;
  // Called with each command sent (its text up to the first literal's bytes, a LOGIN's password
  // masked) and each tagged completion line, without line ends. May be empty.
  std::function<void(std::string_view)> traza;
};

// A command's parts: text, and literals (bytes sent as a literal, "{N+}" under LITERAL+ or
// LITERAL- within its 4096 bytes, else "{N}" and a wait for the server's continuation).
struct Comando {
  std::string texto;  // e.g. "UID FETCH 1:* (UID FLAGS)", or "APPEND \"a/b\" (\\Seen) \"…\" "
  // Literals, each sent after the text that precedes it; `texto` then goes on in `tras`.
  struct Literal {
    std::string bytes;
    std::string tras;  // text after the literal ("" or e.g. " " before another literal, ")")
  };
  std::vector<Literal> literales;
};

// A command's completion.
struct Completado {
  std::string nombre;            // "OK", "NO" or "BAD"
  std::optional<Codigo> codigo;  // e.g. {"APPENDUID", "38505 3955"}
  std::string texto;
  bool Ok() const { return nombre == "OK"; }
};

class SesionImap {
 public:
  // Receives each untagged response (FETCH, EXISTS, EXPUNGE, VANISHED, LIST, STATUS, OK with a
  // code, …) as it is read, whatever command it belongs to. It may raise: the failure reaches
  // the caller of the wait that read it, and the session is then out of step.
  using Manejador = std::function<void(Respuesta&)>;

  // Connects and authenticates as above.
  static std::unique_ptr<SesionImap> Abre(const UbicacionImap& ubicacion, OpcionesSesion opciones);
  ~SesionImap();  // LOGOUT when in step (its answer not awaited), then closes
  SesionImap(const SesionImap&) = delete;
  SesionImap& operator=(const SesionImap&) = delete;

  // The capability was announced (letter case ignored), e.g. "UIDPLUS", "MOVE", "LITERAL+".
  bool Tiene(std::string_view capacidad) const;

  // Where untagged responses go from now on; none set: they are dropped.
  void FijaManejador(Manejador m) { manejador_ = std::move(m); }

  // Sends a command without waiting for its completion (pipelining) and returns its tag
  // number. Only a synchronizing literal makes it read (the continuation) before it returns;
  // untagged responses read meanwhile go to the handler, completions are kept for Espera.
  // At most 128 commands are left in flight: the oldest one is read to its end first.
  std::uint64_t Envia(const Comando& comando);
  // Reads until the command `etiqueta` completes (handing untagged responses to the handler)
  // and returns its completion. A completion already read is returned at once (and forgotten).
  // A tag not sent, or whose completion was already returned: kArgumentoNoValido, the session
  // still in step.
  Completado Espera(std::uint64_t etiqueta);
  // Envia then Espera; a NO or BAD raises kProtocolo with the server's text.
  Completado Ejecuta(const Comando& comando);
  Completado Ejecuta(std::string texto) { return Ejecuta(Comando{std::move(texto), {}}); }
  // Waits for every command in flight; the first NO or BAD among them raises as Ejecuta.
  void EsperaTodos();

  // "user@host:port" for messages.
  const std::string& Descripcion() const { return descripcion_; }

  // A test seam: called with a command's text just before it is written (after the wait for
  // room in flight). The crash test ends the process there.
  static void FijaAntesDeEnviar(void (*f)(std::string_view texto));

 private:
  struct EnVuelo {
    std::uint64_t etiqueta;
    std::string orden;  // the command as errors name it (never a password)
  };

  SesionImap() = default;
  // The opening's steps (sesion_imap.cc). Saluda: true for PREAUTH.
  bool Saluda();
  void PideCapacidades();
  void IniciaStartTls();
  void Autentica(const UbicacionImap& ubicacion);

  // The peer counts as remote (not loopback, or treated so for tests).
  bool ConPeerRemoto() const;
  // Raises kConexionCerrada when an earlier failure left the session out of step.
  void CompruebaEnPaso() const;
  // The next response, receiving as needed (within the exchange's deadline).
  Respuesta Lee();
  // Takes one response: a completion is kept for Espera, an untagged one handed over; a
  // continuation is returned (only a synchronizing literal waits for one), else nullopt.
  std::optional<Respuesta> Procesa(Respuesta r);
  // Reads until `etiqueta` has completed.
  void LeeHasta(std::uint64_t etiqueta);
  // Envia, with how the trace and errors name the command ("" for its own text).
  std::uint64_t EnviaOrden(const Comando& comando, std::string orden);
  // Writes `comando` as tag `etiqueta`. Stops early when the server ends the command instead
  // of sending a synchronizing literal's continuation (its completion is then kept).
  // `orden` names it in errors; `enmascarada`: the trace shows `orden` (a LOGIN) for its text.
  void Escribe(std::uint64_t etiqueta, const Comando& comando, const std::string& orden, bool enmascarada);
  // Espera, also giving how errors name the command.
  Completado Toma(std::uint64_t etiqueta, std::string* orden);
  Error ErrorCompletado(const Completado& c, const std::string& orden) const;
  void AnotaCapacidades(const std::vector<std::string>& lista);
  void Traza(std::string_view texto) const;

  std::unique_ptr<red::Conexion> conexion_;
  std::string descripcion_;
  std::function<void(Respuesta&)> manejador_;
  OpcionesSesion opciones_;
  std::string host_;
  Respuestas respuestas_;
  std::vector<std::string> capacidades_;  // upper-case
  bool capacidades_conocidas_ = false;
  std::uint64_t siguiente_ = 1;         // the next tag's number
  std::deque<EnVuelo> en_vuelo_;         // sent, completion not read yet, oldest first
  std::map<std::uint64_t, std::pair<Completado, std::string>> completados_;  // read, not awaited
  std::uint64_t no_etiquetadas_ = 0;     // untagged responses since the last completion
  bool fuera_de_paso_ = false;
};

}  // namespace tablon::store::imap
