// The session keeps, per command sent, its tag until the completion arrives: `en_vuelo_` holds
// the tags sent and not yet completed (oldest first), `completados_` the completions read and
// not yet asked for. Every read goes through Procesa, which files a completion under its tag and
// hands an untagged response to the handler, so whichever wait reads a response, it lands where
// its command's caller will look. Any failure but a NO or BAD leaves the stream at an unknown
// point: the session then refuses further calls instead of guessing.
#include "store/imap/sesion_imap.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <utility>

#include "core/error.h"
#include "core/traduce.h"
#include "red/conexion.h"
#include "red/direccion.h"
#include "red/linea_legible.h"
#include "red/netrc.h"

namespace tablon::store::imap {

namespace {

// Bytes asked for per receive.
constexpr std::size_t kBloque = 64 * 1024;
// The most commands left in flight.
constexpr std::size_t kMaximoEnVuelo = 128;
// The largest literal LITERAL- lets go without a continuation (RFC 7888 §4).
constexpr std::size_t kLiteralMenos = 4096;
// Literals larger than this go out in a write of their own rather than copied after the text.
constexpr std::size_t kLiteralAparte = 64 * 1024;
// How long the closing LOGOUT may wait for the socket to take it.
constexpr std::chrono::milliseconds kEsperaLogout{1000};

void (*antes_de_enviar)(std::string_view) = nullptr;

bool TieneControl(std::string_view v) {
  return v.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string Mayusculas(std::string_view v) {
  std::string r(v);
  for (char& c : r) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return r;
}

// A completion or status as the trace and errors quote it: "NO [CODE args] text".
std::string Estado(const std::string& nombre, const std::optional<Codigo>& codigo, const std::string& texto) {
  std::string r = nombre;
  if (codigo) r += " [" + codigo->nombre + (codigo->argumentos.empty() ? "" : " " + codigo->argumentos) + "]";
  if (!texto.empty()) r += " " + texto;
  return r;
}

// `valor` appended to the command as an astring: an atom or a quoted string in its text, else a
// literal of its own.
void AgregaAstring(Comando& c, std::string_view valor) {
  std::string escrito = EscribeAstring(valor);
  if (!escrito.empty() && escrito.front() == '{') {
    c.literales.push_back({std::string(valor), ""});
  } else {
    (c.literales.empty() ? c.texto : c.literales.back().tras) += escrito;
  }
}

// The blank-separated words of a response code's arguments.
std::vector<std::string> Palabras(std::string_view texto) {
  std::vector<std::string> r;
  while (!texto.empty()) {
    const std::size_t blanco = texto.find(' ');
    if (blanco != 0) r.emplace_back(texto.substr(0, blanco));
    if (blanco == std::string_view::npos) break;
    texto.remove_prefix(blanco + 1);
  }
  return r;
}

void Agrega(Comando& c, std::string_view texto) {
  (c.literales.empty() ? c.texto : c.literales.back().tras) += texto;
}

}  // namespace

void SesionImap::FijaAntesDeEnviar(void (*f)(std::string_view texto)) { antes_de_enviar = f; }

std::unique_ptr<SesionImap> SesionImap::Abre(const UbicacionImap& ubicacion, OpcionesSesion opciones) {
  std::unique_ptr<SesionImap> s(new SesionImap());
  s->opciones_ = std::move(opciones);
  s->host_ = ubicacion.host;
  s->descripcion_ = ubicacion.usuario + "@" + red::Describe(ubicacion.host, ubicacion.puerto);
  s->respuestas_ = Respuestas(s->opciones_.limites);
  try {
    s->conexion_ = red::Conexion::Abre(ubicacion.host, ubicacion.puerto, s->opciones_.timeout);
    if (ubicacion.tls_implicito) s->conexion_->IniciaTls(ubicacion.host, s->opciones_.archivo_confianza);
    const bool preautenticada = s->Saluda();
    // A PREAUTH over a plain connection rules STARTTLS out: whoever is on the path could have
    // sent it to keep the session in the clear. Only a loopback peer is taken that way.
    if (preautenticada && !s->conexion_->EsTls() && s->ConPeerRemoto()) {
      throw Error(errnum::kCredenciales,
                  Formatea(Traduce("El servidor IMAP %s saludó con PREAUTH por una conexión sin cifrar: no se abre una"
                                   " sesión sin TLS con un servidor que no es local (use imaps://)"),
                           {s->descripcion_}));
    }
    if (!s->capacidades_conocidas_) s->PideCapacidades();
    // A pre-authenticated session is past the state where STARTTLS may be sent.
    if (!preautenticada && !s->conexion_->EsTls() && s->Tiene("STARTTLS")) s->IniciaStartTls();
    if (!preautenticada) s->Autentica(ubicacion);
  } catch (...) {
    // Whatever the step, the connection is dropped without a LOGOUT.
    s->fuera_de_paso_ = true;
    throw;
  }
  return s;
}

SesionImap::~SesionImap() {
  if (!conexion_ || fuera_de_paso_) return;
  try {
    const std::string linea = "a" + std::to_string(siguiente_) + " LOGOUT";
    Traza(linea);
    conexion_->Timeout(std::min(opciones_.timeout, kEsperaLogout));
    conexion_->IniciaPlazo();
    conexion_->Escribe(linea + "\r\n");
  } catch (...) {
    // The session ends either way.
  }
}

bool SesionImap::ConPeerRemoto() const {
  return !conexion_->PeerEsLoopback() || opciones_.loopback_como_remoto;
}

bool SesionImap::Tiene(std::string_view capacidad) const {
  const std::string buscada = Mayusculas(capacidad);
  return std::find(capacidades_.begin(), capacidades_.end(), buscada) != capacidades_.end();
}

void SesionImap::Traza(std::string_view texto) const {
  if (opciones_.traza) opciones_.traza(texto);
}

void SesionImap::AnotaCapacidades(const std::vector<std::string>& lista) {
  capacidades_.clear();
  for (const std::string& c : lista) capacidades_.push_back(Mayusculas(c));
  capacidades_conocidas_ = true;
}

void SesionImap::CompruebaEnPaso() const {
  if (fuera_de_paso_) {
    throw Error(errnum::kConexionCerrada,
                Formatea(Traduce("La sesión IMAP con %s quedó interrumpida por un fallo anterior; hay que abrir otra"),
                         {descripcion_}));
  }
}

Respuesta SesionImap::Lee() {
  // The reader's and the transport's errors, told with the server and the command awaited.
  // TRANSLATORS: how every error of the IMAP response reader begins ("El servidor IMAP envió…"):
  // the server's name is put after it.
  const std::string_view kServidor = Traduce("El servidor IMAP ");
  auto contexto = [&](const Error& e) {
    std::string texto = e.Description();
    if (texto.starts_with(kServidor)) {
      texto.insert(kServidor.size(), descripcion_ + " ");
    } else if (texto.find(descripcion_) == std::string::npos &&
               texto.find(conexion_->Descripcion()) == std::string::npos) {
      texto = Formatea(Traduce("El servidor IMAP %s: %s"), {descripcion_, texto});
    }
    if (!en_vuelo_.empty()) {
      texto += Formatea(Traduce(" (esperando la respuesta a \"%s\")"), {en_vuelo_.front().orden});
    }
    return Error(e.Number(), texto);
  };
  for (;;) {
    try {
      if (auto r = respuestas_.Siguiente()) return std::move(*r);
      char* destino = respuestas_.Reserva(kBloque);
      respuestas_.Agregados(conexion_->LeeBytes(destino, kBloque));
    } catch (const Error& e) {
      throw contexto(e);
    }
  }
}

std::optional<Respuesta> SesionImap::Procesa(Respuesta r) {
  if (r.clase == ClaseRespuesta::kContinuacion) return r;
  if (r.clase == ClaseRespuesta::kEtiquetada) {
    auto it = en_vuelo_.end();
    if (r.etiqueta.size() > 1 && r.etiqueta[0] == 'a') {
      const auto numero = AnalizaNumero64(std::string_view(r.etiqueta).substr(1));
      if (numero && r.etiqueta == "a" + std::to_string(*numero)) {
        it = std::find_if(en_vuelo_.begin(), en_vuelo_.end(),
                          [&](const EnVuelo& e) { return e.etiqueta == *numero; });
      }
    }
    if (it == en_vuelo_.end()) {
      throw Error(errnum::kProtocolo,
                  Formatea(Traduce("El servidor IMAP %s completó una orden que no se le envió (etiqueta \"%s\")"),
                           {descripcion_, red::LineaLegible(r.etiqueta)}));
    }
    Traza(r.etiqueta + " " + Estado(r.nombre, r.codigo, r.texto));
    if (r.codigo && r.codigo->nombre == "CAPABILITY") AnotaCapacidades(Palabras(r.codigo->argumentos));
    completados_.emplace(it->etiqueta, std::make_pair(Completado{r.nombre, std::move(r.codigo), std::move(r.texto)},
                                                      std::move(it->orden)));
    en_vuelo_.erase(it);
    no_etiquetadas_ = 0;
    // Progress: what is still awaited has a deadline of its own from here.
    conexion_->IniciaPlazo();
    return std::nullopt;
  }
  if (r.nombre == "BYE") {
    throw Error(errnum::kProtocolo, Formatea(Traduce("El servidor IMAP %s cerró la sesión: \"%s\""),
                                             {descripcion_, red::LineaLegible(Estado(r.nombre, r.codigo, r.texto))}));
  }
  if (++no_etiquetadas_ > opciones_.max_no_etiquetadas) {
    // TRANSLATORS: the command in progress, when there is none.
    const std::string orden =
        en_vuelo_.empty() ? std::string(Traduce("ninguna")) : "\"" + en_vuelo_.front().orden + "\"";
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor IMAP %s envió más de %s respuestas sin etiqueta seguidas (orden en "
                                 "curso: %s): se cierra la conexión"),
                         {descripcion_, std::to_string(opciones_.max_no_etiquetadas), orden}));
  }
  if (r.nombre == "CAPABILITY") {
    std::vector<std::string> lista;
    for (const Valor& v : r.datos) lista.push_back(v.texto);
    AnotaCapacidades(lista);
  } else if (r.codigo && r.codigo->nombre == "CAPABILITY") {
    AnotaCapacidades(Palabras(r.codigo->argumentos));
  }
  if (manejador_) manejador_(r);
  return std::nullopt;
}

void SesionImap::LeeHasta(std::uint64_t etiqueta) {
  while (!completados_.contains(etiqueta)) {
    if (Procesa(Lee())) {
      throw Error(errnum::kProtocolo,
                  Formatea(Traduce("El servidor IMAP %s pidió la continuación de un literal que no se le anunció"),
                           {descripcion_}));
    }
  }
}

std::uint64_t SesionImap::Envia(const Comando& comando) { return EnviaOrden(comando, ""); }

std::uint64_t SesionImap::EnviaOrden(const Comando& comando, std::string orden) {
  CompruebaEnPaso();
  bool control = TieneControl(comando.texto);
  for (const Comando::Literal& l : comando.literales) control = control || TieneControl(l.tras);
  if (control) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("La orden IMAP \"%s\" contiene CR, LF o NUL fuera de un literal"),
                         {red::LineaLegible(comando.texto)}));
  }
  const bool enmascarada = !orden.empty();
  if (!enmascarada) {
    orden = red::LineaLegible(comando.texto);
    while (!orden.empty() && orden.back() == ' ') orden.pop_back();
  }
  try {
    while (en_vuelo_.size() >= kMaximoEnVuelo) {
      conexion_->IniciaPlazo();
      LeeHasta(en_vuelo_.front().etiqueta);
    }
    const std::uint64_t etiqueta = siguiente_++;
    en_vuelo_.push_back({etiqueta, orden});
    Escribe(etiqueta, comando, orden, enmascarada);
    return etiqueta;
  } catch (...) {
    fuera_de_paso_ = true;
    throw;
  }
}

void SesionImap::Escribe(std::uint64_t etiqueta, const Comando& comando, const std::string& orden,
                         bool enmascarada) {
  // The transport's errors, told with the command being sent.
  auto escribe = [&](std::string_view datos) {
    try {
      conexion_->Escribe(datos);
    } catch (const Error& e) {
      throw Error(e.Number(), e.Description() + Formatea(Traduce(" (enviando \"%s\")"), {orden}));
    }
  };
  std::string salida = "a" + std::to_string(etiqueta) + " ";
  // What the trace shows: the text up to the first literal's bytes, or the masked form.
  std::string traza = salida + (enmascarada ? orden : red::LineaLegible(comando.texto));
  salida += comando.texto;
  if (antes_de_enviar) antes_de_enviar(comando.texto);
  conexion_->IniciaPlazo();
  for (std::size_t i = 0; i < comando.literales.size(); ++i) {
    const Comando::Literal& literal = comando.literales[i];
    const bool sin_espera = Tiene("LITERAL+") || (Tiene("LITERAL-") && literal.bytes.size() <= kLiteralMenos);
    const std::string anuncio = "{" + std::to_string(literal.bytes.size()) + (sin_espera ? "+}" : "}");
    if (i == 0) Traza(traza + (enmascarada ? "" : anuncio));
    salida += anuncio + "\r\n";
    if (!sin_espera) {
      escribe(salida);
      salida.clear();
      // The server answers the announcement: a continuation, or the command's end (NO, BAD).
      for (;;) {
        if (completados_.contains(etiqueta)) return;
        if (Procesa(Lee())) break;
      }
      conexion_->IniciaPlazo();
    }
    if (literal.bytes.size() > kLiteralAparte) {
      escribe(salida);
      escribe(literal.bytes);
      salida.clear();
    } else {
      salida += literal.bytes;
    }
    salida += literal.tras;
  }
  if (comando.literales.empty()) Traza(traza);
  salida += "\r\n";
  escribe(salida);
}

Completado SesionImap::Espera(std::uint64_t etiqueta) { return Toma(etiqueta, nullptr); }

Completado SesionImap::Toma(std::uint64_t etiqueta, std::string* orden) {
  CompruebaEnPaso();
  if (!completados_.contains(etiqueta)) {
    if (std::none_of(en_vuelo_.begin(), en_vuelo_.end(), [&](const EnVuelo& e) { return e.etiqueta == etiqueta; })) {
      throw Error(errnum::kArgumentoNoValido,
                  Formatea(Traduce("No hay ninguna orden IMAP pendiente con la etiqueta a%s en %s"),
                           {std::to_string(etiqueta), descripcion_}));
    }
    try {
      conexion_->IniciaPlazo();
      LeeHasta(etiqueta);
    } catch (...) {
      fuera_de_paso_ = true;
      throw;
    }
  }
  auto nodo = completados_.extract(etiqueta);
  if (orden) *orden = std::move(nodo.mapped().second);
  return std::move(nodo.mapped().first);
}

Error SesionImap::ErrorCompletado(const Completado& c, const std::string& orden) const {
  return Error(errnum::kProtocolo,
               Formatea(Traduce("El servidor IMAP %s respondió \"%s\" a \"%s\""),
                        {descripcion_, red::LineaLegible(Estado(c.nombre, c.codigo, c.texto)), orden}));
}

Completado SesionImap::Ejecuta(const Comando& comando) {
  std::string orden;
  Completado c = Toma(Envia(comando), &orden);
  if (!c.Ok()) throw ErrorCompletado(c, orden);
  return c;
}

void SesionImap::EsperaTodos() {
  CompruebaEnPaso();
  std::vector<std::uint64_t> etiquetas;
  for (const auto& [etiqueta, completado] : completados_) etiquetas.push_back(etiqueta);
  for (const EnVuelo& e : en_vuelo_) etiquetas.push_back(e.etiqueta);
  std::sort(etiquetas.begin(), etiquetas.end());
  std::optional<Error> primero;
  for (const std::uint64_t etiqueta : etiquetas) {
    std::string orden;
    const Completado c = Toma(etiqueta, &orden);
    if (!c.Ok() && !primero) primero = ErrorCompletado(c, orden);
  }
  if (primero) throw *primero;
}

// The opening.

bool SesionImap::Saluda() {
  conexion_->IniciaPlazo();
  const Respuesta r = Lee();
  const bool saludo = r.clase == ClaseRespuesta::kNoEtiquetada &&
                      (r.nombre == "OK" || r.nombre == "PREAUTH" || r.nombre == "BYE");
  if (!saludo) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor %s no saludó como un servidor IMAP (\"* OK\", \"* PREAUTH\" o "
                                 "\"* BYE\")"),
                         {descripcion_}));
  }
  if (r.nombre == "BYE") {
    throw Error(errnum::kProtocolo, Formatea(Traduce("El servidor IMAP %s rechazó la conexión: \"%s\""),
                                             {descripcion_, red::LineaLegible(Estado(r.nombre, r.codigo, r.texto))}));
  }
  if (r.codigo && r.codigo->nombre == "CAPABILITY") AnotaCapacidades(Palabras(r.codigo->argumentos));
  return r.nombre == "PREAUTH";
}

void SesionImap::PideCapacidades() {
  capacidades_conocidas_ = false;
  Ejecuta("CAPABILITY");
  if (!capacidades_conocidas_) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor IMAP %s no envió sus capacidades a \"CAPABILITY\""), {descripcion_}));
  }
}

void SesionImap::IniciaStartTls() {
  std::string orden;
  const Completado c = Toma(EnviaOrden(Comando{"STARTTLS", {}}, ""), &orden);
  if (!c.Ok()) {
    fuera_de_paso_ = true;
    throw Error(errnum::kTls, Formatea(Traduce("El servidor IMAP %s ofrece STARTTLS pero respondió \"%s\""),
                                       {descripcion_, red::LineaLegible(Estado(c.nombre, c.codigo, c.texto))}));
  }
  // Bytes after the OK came in the clear where encrypted ones were due: someone on the path
  // may have put them there.
  if (respuestas_.Pendientes() > 0) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor IMAP %s envió datos sin cifrar tras aceptar STARTTLS"), {descripcion_}));
  }
  conexion_->IniciaTls(host_, opciones_.archivo_confianza);
  // What was learnt before the handshake no longer holds (RFC 3501 §6.2.1).
  capacidades_.clear();
  PideCapacidades();
}

void SesionImap::Autentica(const UbicacionImap& ubicacion) {
  if (Tiene("LOGINDISABLED")) {
    throw Error(errnum::kCredenciales,
                Formatea(conexion_->EsTls()
                             ? Traduce("El servidor IMAP %s anuncia LOGINDISABLED: no acepta usuario y contraseña; "
                                       "no se le envían")
                             : Traduce("El servidor IMAP %s anuncia LOGINDISABLED: no acepta usuario y contraseña sin "
                                       "cifrar y no ofrece STARTTLS; no se le envían"),
                         {descripcion_}));
  }
  if (!conexion_->EsTls() && ConPeerRemoto()) {
    throw Error(errnum::kCredenciales, Formatea(Traduce("No se envía la contraseña a %s por una conexión sin cifrar, y "
                                                        "el servidor no ofrece STARTTLS (use imaps://)"),
                                                {descripcion_}));
  }
  const std::string ruta = opciones_.ruta_netrc.empty() ? red::RutaNetrcPorDefecto() : opciones_.ruta_netrc;
  const auto cred = red::LeeNetrc(ruta, host_, ubicacion.usuario);
  if (!cred) {
    throw Error(errnum::kCredenciales,
                Formatea(Traduce("No hay contraseña para %1$s en %2$s: añada a %3$s una línea \"machine %2$s "
                                 "login %1$s password …\""),
                         {ubicacion.usuario, host_, ruta.empty() ? std::string("~/.netrc") : ruta}));
  }
  Comando login{"LOGIN ", {}};
  AgregaAstring(login, ubicacion.usuario);
  Agrega(login, " ");
  AgregaAstring(login, cred->contrasena);
  const std::string orden = "LOGIN " + red::LineaLegible(ubicacion.usuario) + " ********";
  const Completado c = Toma(EnviaOrden(login, orden), nullptr);
  if (!c.Ok()) {
    throw Error(errnum::kCredenciales,
                Formatea(Traduce("El servidor IMAP %s rechazó el usuario o la contraseña: \"%s\""),
                         {descripcion_, red::LineaLegible(Estado(c.nombre, c.codigo, c.texto))}));
  }
  // The capabilities may differ once logged in; a server that says so in the OK saves asking.
  if (!(c.codigo && c.codigo->nombre == "CAPABILITY")) PideCapacidades();
}

}  // namespace tablon::store::imap
