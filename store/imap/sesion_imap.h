// One IMAP session (RFC 3501 / RFC 9051) for the store's IMAP backend: the connection, its
// authentication and the primitives the backend's operations are made of — send a tagged
// command (pipelined: several may be in flight), hand each untagged response to the backend as
// it comes, wait for a command's completion.
//
// Opening: the connection (plain, or TLS from the first byte for imaps), the greeting,
// CAPABILITY (unless the greeting carried it), STARTTLS on a plain connection when offered (the
// capabilities are asked again after it), then LOGIN with the location's user and the password
// of ~/.netrc's entry "machine HOST login USER password …" (an entry for the host without a
// login also serves). A greeting of PREAUTH needs no login. The password is never sent over a
// plain connection to a peer that is not loopback, and never when the server announces
// LOGINDISABLED. Certificates are checked as the news client checks them (nntp/conexion.h).
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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "store/imap/respuesta_imap.h"

namespace tablon::nntp {
class Conexion;
}

namespace tablon::store::imap {

inline constexpr std::uint16_t kPuertoImap = 143;
inline constexpr std::uint16_t kPuertoImaps = 993;

// "imap://USER@HOST[:PORT][/PREFIX]" or "imaps://…". HOST as the news client takes it ("name",
// "[v6addr]"); USER and PREFIX percent-decoded ("%40" for "@" in a user name); PREFIX is a
// folder path whose parts are separated by "/" (any later "/" separates parts), e.g. "news" or
// "Archivo/news"; empty for the account's root.
struct UbicacionImap {
  bool tls_implicito = false;  // imaps://
  std::string usuario;
  std::string host;
  std::uint16_t puerto = kPuertoImap;
  std::vector<std::string> prefijo;
  // "imap://user@host:port/prefix" as messages name it (no password is ever part of it).
  std::string Describe() const;
};

// nullopt when `texto` does not start with "imap://" or "imaps://" (letter case ignored): a
// location of another backend. A malformed one (no user, no host, a bad port, a password in it,
// control characters, a bad percent escape, an empty prefix part):
// tablon::Error(errnum::kArgumentoNoValido) with a Spanish text that says what is wrong.
std::optional<UbicacionImap> AnalizaUbicacionImap(std::string_view texto);

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
  SesionImap() = default;
  std::unique_ptr<nntp::Conexion> conexion_;
  std::string descripcion_;
  Manejador manejador_;
  // … (implementation state)
};

}  // namespace tablon::store::imap
