// The session's set-up and exchanges. Credentials are never offered unasked: a command answered
// 480 (or 401 AUTHINFO) is met by authenticating and sending it once more, so a server that
// wants credentials before anything says so at the first command (MODE READER or GROUP), and
// one that does not want them never sees any.
#include "nntp/sesion.h"

#include <cstdlib>
#include <optional>
#include <strings.h>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/traduce.h"
#include "nntp/capacidades.h"
#include "red/conexion.h"
#include "red/linea_legible.h"
#include "red/netrc.h"

namespace tablon::nntp {

namespace {

// "401 LABEL": the command needs the state the capability LABEL brings (RFC 3977 §3.2.1).
constexpr int kCambieDeEstado = 401;
// COMPRESS: "206 Compression active" (RFC 8054).
constexpr int kCompresionActiva = 206;

// The bound of the capability list: far above what any server sends.
constexpr Limite kLimiteCapacidades{10'000, 1 << 20};

bool TieneControl(std::string_view v) {
  return v.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool Contiene(std::string_view texto, std::string_view palabra) {
  for (std::size_t i = 0; i + palabra.size() <= texto.size(); ++i) {
    if (strncasecmp(texto.data() + i, palabra.data(), palabra.size()) == 0) return true;
  }
  return false;
}

ModoCompresion CompresionDelEntorno() {
  const char* v = std::getenv("TABLON_COMPRESION");
  if (v && (strcasecmp(v, "si") == 0 || strcasecmp(v, "sí") == 0)) return ModoCompresion::kSi;
  if (v && strcasecmp(v, "no") == 0) return ModoCompresion::kNo;
  return ModoCompresion::kSalvoLoopback;
}

}  // namespace

void CompruebaTexto(std::string_view valor, const char* propiedad) {
  if (TieneControl(valor)) {
    throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("%s no puede contener CR, LF ni NUL"), {propiedad}));
  }
}

Sesion::Sesion(const std::function<void(const std::string&)>& traza, Avisos avisos)
    : traza_(traza), avisos_(std::move(avisos)), compresion_(CompresionDelEntorno()) {}
Sesion::~Sesion() = default;

red::Direccion Sesion::CompruebaDestino(const std::string& host) const {
  CompruebaTexto(host, "Host");
  CompruebaTexto(usuario_, "UserName");
  CompruebaTexto(contrasena_, "Password");
  return AnalizaHost(host);
}

void Sesion::Olvida() {
  conn_.reset();
  capacidades_conocidas_ = tiene_over_ = tiene_starttls_ = tiene_reader_ = tiene_authinfo_ =
      tiene_authinfo_user_ = tiene_compress_deflate_ = false;
  autenticada_ = false;
  compresion_rechazada_ = false;
}

void Sesion::RequiereConexion() {
  if (!conn_) throw Error(errnum::kProtocolo, Traduce("No hay conexión con el servidor de noticias"));
  conn_->Timeout(timeout_);
}

void Sesion::IniciaPlazo() { conn_->IniciaPlazo(); }

void Sesion::Envia(const std::string& comando, const char* traza) {
  if (avisos_.antes_de_enviar) avisos_.antes_de_enviar();
  if (traza_) traza_((traza ? std::string(traza) : comando) + "\r\n");
  std::string linea;
  linea.reserve(comando.size() + 2);
  linea.append(comando).append("\r\n");
  conn_->IniciaPlazo();  // the command and its whole reply
  conn_->Escribe(linea);
}

int Sesion::LeeRespuesta() {
  const std::string_view linea = conn_->LeeLinea();
  linea_estado_.assign(linea);
  if (traza_) traza_(linea_estado_ + "\r\n");
  const auto e = AnalizaEstado(linea);
  if (!e) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("Respuesta ilegible de %s: \"%s\""), {texto_servidor_, red::LineaLegible(linea)}));
  }
  return e->codigo;
}

bool Sesion::PideCredenciales(int codigo) const {
  if (autenticada_) return false;
  if (codigo == estado::kAutenticacionRequerida) return true;
  // RFC 3977 §3.2.1: 401 names the capability that changes the state the command needs.
  if (codigo != kCambieDeEstado) return false;
  const auto e = AnalizaEstado(linea_estado_);
  if (!e) return false;
  const std::string_view texto = e->texto;
  const std::string_view etiqueta = texto.substr(0, texto.find_first_of(" \t"));
  return etiqueta.size() == 8 && strncasecmp(etiqueta.data(), "AUTHINFO", 8) == 0;
}

Error Sesion::ErrorEstado(const std::string& comando) const {
  const auto e = AnalizaEstado(linea_estado_);
  const std::string texto =
      comando.empty()
          ? Formatea(Traduce("El servidor respondió: %s (al conectar con %s)"),
                     {red::LineaLegible(linea_estado_), texto_servidor_})
          : Formatea(Traduce("El servidor respondió: %s (a \"%s\" en %s)"),
                     {red::LineaLegible(linea_estado_), comando, texto_servidor_});
  if (e && e->codigo >= 400) return Error(e->codigo, texto);
  return Error(errnum::kProtocolo, Formatea(Traduce("Respuesta inesperada. %s"), {texto}));
}

void Sesion::FallaEstado(const std::string& comando) const { throw ErrorEstado(comando); }

void Sesion::LeeBloque(Limite limite, const std::string& comando,
                       const std::function<void(std::string_view)>& por_linea) {
  Bloque bloque(limite, Formatea(Traduce("la respuesta a \"%s\" de %s"), {comando, texto_servidor_}));
  while (const auto linea = bloque.Linea(conn_->LeeLinea())) por_linea(*linea);
}

int Sesion::Orden(const std::string& comando) {
  Envia(comando);
  return ConCredenciales(LeeRespuesta(), comando);
}

int Sesion::ConCredenciales(int codigo, const std::string& comando) {
  if (!PideCredenciales(codigo)) return codigo;
  Autentica();
  if (avisos_.tras_autenticar) avisos_.tras_autenticar(comando);
  Envia(comando);
  return LeeRespuesta();
}

void Sesion::LeeCapacidades() {
  capacidades_conocidas_ = tiene_over_ = tiene_starttls_ = tiene_reader_ = tiene_authinfo_ =
      tiene_authinfo_user_ = tiene_compress_deflate_ = false;
  Envia("CAPABILITIES");
  const int codigo = LeeRespuesta();
  if (codigo != estado::kListaCapacidades) {
    // RFC 977 servers do not know the command: nothing is known then.
    if (codigo >= 400) return;
    FallaEstado("CAPABILITIES");
  }
  std::vector<std::string> lineas;
  LeeBloque(kLimiteCapacidades, "CAPABILITIES",
            [&lineas](std::string_view l) { lineas.emplace_back(l); });
  const Capacidades caps(lineas);
  capacidades_conocidas_ = true;
  tiene_over_ = caps.Tiene("OVER");
  tiene_starttls_ = caps.Tiene("STARTTLS");
  tiene_reader_ = caps.Tiene("READER");
  tiene_authinfo_ = caps.Tiene("AUTHINFO");
  tiene_authinfo_user_ = caps.TieneArgumento("AUTHINFO", "USER");
  tiene_compress_deflate_ = caps.TieneArgumento("COMPRESS", "DEFLATE");
}

void Sesion::IntentaCompresion(bool tras_autenticar) {
  if (compresion_ == ModoCompresion::kNo || !tiene_compress_deflate_ || conn_->Comprimida() ||
      compresion_rechazada_) {
    return;
  }
  if (compresion_ == ModoCompresion::kSalvoLoopback && conn_->PeerEsLoopback()) return;
  if (!tras_autenticar && !autenticada_) {
    // Neither STARTTLS nor credentials may follow compression: at connect, compress only when
    // this connection will need neither.
    if (autenticar_antes_de_comprimir_ || tiene_authinfo_user_) return;
    const bool local = conn_->PeerEsLoopback() && !loopback_como_remoto_;
    if (!conn_->EsTls() && tiene_starttls_ && !local) return;
  }
  const std::string orden = "COMPRESS DEFLATE";
  Envia(orden);
  const int codigo = LeeRespuesta();
  if (codigo == kCompresionActiva) {
    conn_->IniciaCompresion();
    return;
  }
  // A success that is not 206 leaves it unknown whether the server compresses.
  if (codigo < 400) FallaEstado(orden);
  // 403 (the server could not start it), 502 (not available) or another refusal: the
  // connection stays uncompressed. Asked for credentials first, it may come after them.
  if (codigo != estado::kAutenticacionRequerida) compresion_rechazada_ = true;
}

void Sesion::Conecta(const red::Direccion& destino) {
  Olvida();
  nombre_servidor_ = destino.nombre;
  texto_servidor_ = red::Describe(destino);
  conn_ = red::Conexion::Abre(destino.nombre, destino.puerto, timeout_);
  if (destino.tls_implicito || tls_implicito_) conn_->IniciaTls(nombre_servidor_, archivo_confianza_);

  const int saludo = LeeRespuesta();
  if (saludo != estado::kListoConPublicacion && saludo != estado::kListoSinPublicacion) {
    FallaEstado("");
  }
  const bool transito = Contiene(linea_estado_, "transit");

  const std::string orden = "MODE READER";
  // A server that greets in transit mode is switched to reading at once: what it offers in
  // transit mode does not matter, and a round trip is saved. (MODE READER goes alone: a
  // CAPABILITIES sent in front of it loses its list in INN's hand-over to the reader.)
  bool lector = false;
  if (!transito) {
    LeeCapacidades();
    lector = capacidades_conocidas_ ? tiene_reader_ : true;
  }
  if (!lector) {
    int codigo;
    if (transito) {
      Envia(orden);
      codigo = LeeRespuesta();
      // Credentials go as the server's capabilities allow (STARTTLS first, AUTHINFO USER).
      if (PideCredenciales(codigo)) {
        const std::string peticion = linea_estado_;
        LeeCapacidades();
        linea_estado_ = peticion;  // what the credentials answer, as errors quote it
        codigo = ConCredenciales(codigo, orden);
      }
    } else {
      codigo = Orden(orden);
    }
    if (codigo == estado::kListoConPublicacion || codigo == estado::kListoSinPublicacion) {
      if (capacidades_conocidas_ || transito) LeeCapacidades();
    } else if (codigo != estado::kOrdenDesconocida && codigo != estado::kErrorDeSintaxis) {
      FallaEstado(orden);
    }
  }
  IntentaCompresion(false);
}

void Sesion::Desconecta() {
  if (!conn_) return;
  conn_->Timeout(timeout_);
  try {
    // The reply is not waited for: it tells nothing, and on a distant link costs a round trip.
    Envia("QUIT");
  } catch (const Error&) {
    // The session ends either way.
  }
  Olvida();
}

void Sesion::IniciaStartTls() {
  const std::string orden = "STARTTLS";
  Envia(orden);
  if (LeeRespuesta() != estado::kSigaConTls) {
    const auto e = AnalizaEstado(linea_estado_);
    throw Error(errnum::kTls, Formatea(e ? Traduce("El servidor respondió: %s (a \"%s\" en %s)")
                                         : Traduce("El servidor respondió: %s (a \"%s\" en %s): respuesta ilegible"),
                                       {red::LineaLegible(linea_estado_), orden, texto_servidor_}));
  }
  conn_->IniciaTls(nombre_servidor_, archivo_confianza_);
  // RFC 4642 §2.2.2: what was learnt before the handshake no longer holds.
  LeeCapacidades();
}

void Sesion::Autentica() {
  // Usuario first; else the host's own ~/.netrc entry, else its "default" entry. The file is
  // read only now, so a refused file (readable by others) is reported where it matters.
  std::optional<red::CredencialesNetrc> cred;
  if (!usuario_.empty()) {
    cred = red::CredencialesNetrc{usuario_, contrasena_};
  } else {
    cred = red::LeeNetrc(ruta_netrc_.empty() ? red::RutaNetrcPorDefecto() : ruta_netrc_, nombre_servidor_);
    if (cred && cred->usuario.empty()) cred.reset();
  }
  if (!cred) {
    throw Error(estado::kAutenticacionRequerida,
                Formatea(Traduce("El servidor respondió: %s (%s pide credenciales y no hay UserName ni entrada para "
                                 "%s en %s)"),
                         {red::LineaLegible(linea_estado_), texto_servidor_, nombre_servidor_,
                          ruta_netrc_.empty() ? "~/.netrc" : ruta_netrc_}));
  }
  if (TieneControl(cred->usuario) || TieneControl(cred->contrasena)) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("El usuario o la contraseña de %s contienen CR, LF o NUL"), {nombre_servidor_}));
  }
  if (conn_->Comprimida()) {
    // Credentials are not sent over compression (RFC 8054): the next connection
    // authenticates first.
    autenticar_antes_de_comprimir_ = true;
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor %s pide credenciales con la compresión ya activa (%s): no se envían por "
                                 "una conexión comprimida; se cierra la conexión y la siguiente se autenticará antes "
                                 "de comprimir"),
                         {texto_servidor_, red::LineaLegible(linea_estado_)}));
  }
  if (!conn_->EsTls()) {
    if (tiene_starttls_) {
      IniciaStartTls();
    } else if (!conn_->PeerEsLoopback() || loopback_como_remoto_) {
      throw Error(errnum::kCredenciales,
                  Formatea(Traduce("No se envían credenciales a %s por una conexión sin cifrar, y el servidor no "
                                   "ofrece STARTTLS"),
                           {texto_servidor_}));
    }
  }
  // RFC 4643 §2.1: AUTHINFO listed without USER (SASL only, or nothing in this state) rules
  // USER/PASS out. A server listing no AUTHINFO at all predates that and may still take them.
  if (capacidades_conocidas_ && tiene_authinfo_ && !tiene_authinfo_user_) {
    throw Error(errnum::kCredenciales,
                Formatea(Traduce("El servidor %s pide credenciales pero no admite AUTHINFO USER (solo SASL u otro "
                                 "método), y no se le envían usuario ni contraseña"),
                         {texto_servidor_}));
  }

  auto rechazo = [this](const std::string& orden) {
    return Error(errnum::kCredenciales, Formatea(Traduce("El servidor %s rechazó las credenciales: %s (a \"%s\")"),
                                                 {texto_servidor_, red::LineaLegible(linea_estado_), orden}));
  };
  const std::string usuario = "AUTHINFO USER " + cred->usuario;
  Envia(usuario);
  int codigo = LeeRespuesta();
  if (codigo == estado::kSigaConContrasena) {
    static constexpr char kTraza[] = "AUTHINFO PASS ********";
    Envia("AUTHINFO PASS " + cred->contrasena, kTraza);
    codigo = LeeRespuesta();
    if (codigo != estado::kAutenticado) throw rechazo(kTraza);
  } else if (codigo != estado::kAutenticado) {
    throw rechazo(usuario);
  }
  autenticada_ = true;
  // RFC 4643 §2.4.3: the capabilities may differ once authenticated.
  LeeCapacidades();
  IntentaCompresion(true);
}

}  // namespace tablon::nntp
