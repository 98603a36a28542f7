// The news control over one NNTP session. A session goes: connect (plain or TLS from the first
// byte), greeting, CAPABILITIES, MODE READER when the server is not yet a reader; then the
// operations, each one command (GROUP, OVER/XOVER, NEWGROUPS, ARTICLE). Credentials are never
// offered unasked: a command answered 480 (or 401 AUTHINFO) is met by authenticating and
// sending it once more, so a server that wants credentials before anything says so at the first
// command (MODE READER or GROUP), and one that does not want them never sees any.
//
// A transport or protocol failure leaves the stream at an unknown point (a half-read block, a
// reply still coming): the connection is dropped and `Connected()` turns false. A failure
// status (411, 430, ...) leaves the session usable.
#include "nntp/news.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <strings.h>
#include <utility>

#include "core/date.h"
#include "core/error.h"
#include "nntp/capacidades.h"
#include "nntp/conexion.h"
#include "nntp/direccion.h"
#include "nntp/netrc.h"
#include "nntp/respuesta.h"

namespace tablon::nntp {

namespace {

// "401 LABEL": the command needs the state the capability LABEL brings (RFC 3977 §3.2.1).
constexpr int kCambieDeEstado = 401;

// The session is still in step after errors of these kinds.
bool SesionIntacta(long numero) {
  return (numero >= 100 && numero <= 599) || numero == errnum::kArgumentoNoValido ||
         numero == errnum::kCredenciales;
}

bool TieneControl(std::string_view v) {
  return v.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void CompruebaTexto(std::string_view valor, const char* propiedad) {
  if (TieneControl(valor)) {
    throw Error(errnum::kArgumentoNoValido,
                std::string(propiedad) + " no puede contener CR, LF ni NUL");
  }
}

void CompruebaGrupo(std::string_view nombre) {
  CompruebaTexto(nombre, "GroupName");
  if (nombre.empty()) throw Error(errnum::kArgumentoNoValido, "GroupName está vacío");
  for (char c : nombre) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) {
      throw Error(errnum::kArgumentoNoValido, "El nombre de grupo \"" + LineaLegible(nombre) +
                                                  "\" contiene blancos o caracteres de control");
    }
  }
}

// "<...>": RFC 3977 §3.6, at most 250 bytes, no blanks or control characters, no "<" or ">"
// inside.
void CompruebaIdentificador(std::string_view id) {
  CompruebaTexto(id, "ArticleKey");
  bool valido = id.size() >= 3 && id.size() <= 250 && id.front() == '<' && id.back() == '>';
  for (std::size_t i = 1; valido && i + 1 < id.size(); ++i) {
    const auto u = static_cast<unsigned char>(id[i]);
    valido = u > 0x20 && u != 0x7f && u != '<' && u != '>';
  }
  if (!valido) {
    throw Error(errnum::kArgumentoNoValido,
                "\"" + LineaLegible(id) + "\" no es un identificador de mensaje <...> válido");
  }
}

bool Contiene(std::string_view texto, std::string_view palabra) {
  for (std::size_t i = 0; i + palabra.size() <= texto.size(); ++i) {
    if (strncasecmp(texto.data() + i, palabra.data(), palabra.size()) == 0) return true;
  }
  return false;
}

// NEWGROUPS's "yyyymmdd hhmmss GMT" (RFC 3977 §7.3) from the control's local date text.
std::string FechaNewgroups(const std::string& local) {
  const auto fecha = LeeFormatoControl(local);
  if (!fecha) {
    throw Error(errnum::kArgumentoNoValido,
                "SinceDate \"" + LineaLegible(local) + "\" no es una fecha \"ddd, dd mmm yyyy hh:mm:ss\"");
  }
  const std::time_t t = static_cast<std::time_t>(fecha->AUnix());
  std::tm utc{};
  if (t == static_cast<std::time_t>(-1) || !gmtime_r(&t, &utc) || utc.tm_year + 1900 < 0 ||
      utc.tm_year + 1900 > 9999) {
    throw Error(errnum::kArgumentoNoValido, "SinceDate \"" + local + "\" está fuera de rango");
  }
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d %H%M%S GMT", &utc);
  return buf;
}

// Settings taken from the environment when the control is made (tests, unusual servers). A
// value that is not a positive whole number is ignored.
std::uint64_t Entorno(const char* nombre, std::uint64_t por_omision) {
  const char* v = std::getenv(nombre);
  if (!v || !*v) return por_omision;
  std::uint64_t n = 0;
  const auto [fin, ec] = std::from_chars(v, v + std::strlen(v), n);
  return ec == std::errc() && *fin == '\0' && n > 0 ? n : por_omision;
}

// The bounds of the lists the client reads: far above what the largest servers send (their
// whole group list holds some 100,000 lines of a few dozen bytes).
constexpr Limite kLimiteCapacidades{10'000, 1 << 20};
constexpr Limite kLimiteGruposNuevos{250'000, 16 << 20};

// An article's text is given room for the largest allowed at once, up to this much; beyond it
// (a limit set that high) it grows as it comes.
constexpr std::uint64_t kReservaArticuloMaxima = std::uint64_t{256} << 20;

}  // namespace

News::News()
    : timeout_(static_cast<std::int64_t>(Entorno("TABLON_TIMEOUT_MS", 60'000))),
      max_articulo_(Entorno("TABLON_MAX_ARTICULO", kMaxArticuloPorOmision)) {}
News::~News() = default;

template <class F>
void News::Opera(F&& operacion, bool conectando) {
  try {
    operacion();
  } catch (const Error& e) {
    if (conectando || !SesionIntacta(e.Number())) Cae(e, conectando);
    throw;
  } catch (const std::bad_alloc&) {
    // Whatever was being read is half read: the stream is of no further use.
    const Error e(errnum::kMemoriaInsuficiente,
                  "Memoria insuficiente para la respuesta de " +
                      (server_text_.empty() ? std::string("el servidor de noticias") : server_text_) +
                      ": se cierra la conexión");
    Cae(e, conectando);
    throw e;
  }
}

void News::Cae(const Error& e, bool conectando) {
  if (conn_ || conectando) fallo_conexion_ = e;
  Olvida();
}

bool News::Connected() const { return conn_ != nullptr; }

const std::string& News::NewGroupLine(std::int64_t i) const {
  if (i < 0 || i >= NewGroupCount()) {
    throw Error(errnum::kArgumentoNoValido, "NewGroupLine: índice " + std::to_string(i) +
                                                " fuera de 0.." + std::to_string(NewGroupCount() - 1));
  }
  return new_groups_[static_cast<std::size_t>(i)];
}

std::string_view News::OverviewLine(std::int64_t i) const {
  if (i < 0 || i >= OverviewCount()) {
    throw Error(errnum::kArgumentoNoValido, "OverviewLine: índice " + std::to_string(i) +
                                                " fuera de 0.." + std::to_string(OverviewCount() - 1));
  }
  return overview_[static_cast<std::size_t>(i)];
}

void News::Command(std::int32_t code) {
  Opera([&] {
    switch (code) {
      case kConectar:
        Conecta();
        return;
      case kDesconectar:
        Desconecta();
        return;
      case kListarGruposNuevos:
        ListaGruposNuevos();
        return;
      case kLeerEncabezados:
        LeeEncabezados();
        return;
      default:
        throw Error(errnum::kArgumentoNoValido, "Código de orden desconocido: " + std::to_string(code));
    }
  }, code == kConectar);
}

void News::SelectGroup() {
  Opera([&] {
    CompruebaGrupo(group_name_);
    // Selected a moment ago, its overview on the way: choosing it again would drop that.
    if (resumen_pedido_ && grupo_resumen_ == group_name_ && group_selected_ &&
        selected_group_ == group_name_) {
      return;
    }
    // Refused a moment ago, nothing sent since: the same answer, without asking again.
    if (error_grupo_anticipado_ && grupo_error_anticipado_ == group_name_) {
      const Error e = *error_grupo_anticipado_;
      error_grupo_anticipado_.reset();
      throw e;
    }
    RequiereConexion();
    Seleccion();
  });
}

void News::FetchArticle() {
  article_text_.clear();
  article_text_.shrink_to_fit();
  Opera([&] {
    CompruebaIdentificador(article_key_);
    RequiereConexion();
    const std::string orden = "ARTICLE " + article_key_;
    if (Orden(orden) != estado::kArticuloSigue) FallaEstado(orden);
    std::string texto;
    // Room for the largest article allowed, taken at once: pages the text never reaches are
    // never touched, and a text that grows is never copied (a copy would hold it twice).
    texto.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(max_articulo_, kReservaArticuloMaxima)));
    LeeBloque({max_articulo_ / 2, max_articulo_}, "la respuesta a \"" + orden + "\"",
              [&texto](std::string_view linea) {
                texto.append(linea);
                texto.append("\r\n");
              });
    article_text_ = std::move(texto);
  });
}

void News::AnticipaResumen() {
  if (resumen_pedido_) return;
  try {
    Opera([&] {
      CompruebaGrupo(group_name_);
      RequiereConexion();
      if (!group_selected_ || selected_group_ != group_name_) Seleccion();
      if (group_count_ == 0 || group_high_ < group_low_) return;
      orden_resumen_ = OrdenResumen(has_over_);
      Envia(orden_resumen_);
      resumen_pedido_ = true;
      grupo_resumen_ = group_name_;
    });
  } catch (const Error& e) {
    // Opera has dropped the connection when the failure broke the session.
    if (!conn_) {
      error_anticipado_ = e;
    } else {
      error_grupo_anticipado_ = e;
      grupo_error_anticipado_ = group_name_;
    }
  }
}

void News::Olvida() {
  resumen_pedido_ = false;
  error_grupo_anticipado_.reset();
  conn_.reset();
  caps_known_ = has_over_ = has_starttls_ = has_reader_ = has_authinfo_ = has_authinfo_user_ = false;
  authenticated_ = false;
  group_selected_ = false;
  selected_group_.clear();
  group_low_ = group_high_ = group_count_ = 0;
}

void News::RequiereConexion() {
  if (error_anticipado_) {
    const Error e = *error_anticipado_;
    error_anticipado_.reset();
    throw e;
  }
  if (!conn_) throw Error(errnum::kProtocolo, "No hay conexión con el servidor de noticias");
  conn_->Timeout(timeout_);
}

void News::DescartaResumen() {
  resumen_pedido_ = false;
  conn_->IniciaPlazo();
  if (LeeRespuesta() == estado::kResumenSigue) {
    LeeBloque(LimiteResumen(), "la respuesta a \"" + orden_resumen_ + "\"", [](std::string_view) {});
  }
}

Limite News::LimiteResumen() const {
  // high − low + 1 lines, saturated (the numbers come from the server), plus the margin.
  const std::uint64_t rango =
      group_high_ >= group_low_ ? static_cast<std::uint64_t>(group_high_) - static_cast<std::uint64_t>(group_low_) + 1
                                : 0;
  constexpr std::uint64_t kTope = std::uint64_t{1} << 48;
  const std::uint64_t lineas = std::min(rango, kTope) + kMargenResumen;
  const std::uint64_t bytes = std::max(lineas * kBytesPorLineaResumen, 2 * static_cast<std::uint64_t>(kLineaMaxima));
  return {lineas, bytes};
}

void News::Envia(const std::string& comando, const char* traza) {
  // An overview asked for ahead and not wanted after all is read first: the stream then stands
  // at this command's reply.
  if (resumen_pedido_) DescartaResumen();
  error_grupo_anticipado_.reset();
  if (Debug) Debug((traza ? std::string(traza) : comando) + "\r\n");
  std::string linea;
  linea.reserve(comando.size() + 2);
  linea.append(comando).append("\r\n");
  conn_->IniciaPlazo();  // the command and its whole reply
  conn_->Escribe(linea);
}

int News::LeeRespuesta() {
  const std::string_view linea = conn_->LeeLinea();
  status_line_.assign(linea);
  if (Debug) Debug(status_line_ + "\r\n");
  const auto e = AnalizaEstado(linea);
  if (!e) {
    throw Error(errnum::kProtocolo, "Respuesta ilegible de " + server_text_ + ": \"" +
                                        LineaLegible(linea) + "\"");
  }
  return e->codigo;
}

bool News::PideCredenciales(int codigo) const {
  if (authenticated_) return false;
  if (codigo == estado::kAutenticacionRequerida) return true;
  // RFC 3977 §3.2.1: 401 names the capability that changes the state the command needs.
  if (codigo != kCambieDeEstado) return false;
  const auto e = AnalizaEstado(status_line_);
  if (!e) return false;
  const std::string_view texto = e->texto;
  const std::string_view etiqueta = texto.substr(0, texto.find_first_of(" \t"));
  return etiqueta.size() == 8 && strncasecmp(etiqueta.data(), "AUTHINFO", 8) == 0;
}

void News::FallaEstado(const std::string& comando) const {
  const auto e = AnalizaEstado(status_line_);
  const std::string texto =
      "El servidor respondió: " + LineaLegible(status_line_) +
      (comando.empty() ? " (al conectar con " + server_text_ + ")"
                       : " (a \"" + comando + "\" en " + server_text_ + ")");
  if (e && e->codigo >= 400) throw Error(e->codigo, texto);
  throw Error(errnum::kProtocolo, "Respuesta inesperada. " + texto);
}

void News::LeeBloque(Limite limite, std::string que, const std::function<void(std::string_view)>& por_linea) {
  Bloque bloque(limite, std::move(que) + " de " + server_text_);
  while (const auto linea = bloque.Linea(conn_->LeeLinea())) por_linea(*linea);
}

int News::Orden(const std::string& comando) {
  Envia(comando);
  int codigo = LeeRespuesta();
  if (PideCredenciales(codigo)) {
    Autentica();
    // STARTTLS may have reset the session: choose the group again for the commands using it.
    if (group_selected_ && comando.rfind("GROUP ", 0) != 0) {
      const std::string grupo = "GROUP " + selected_group_;
      Envia(grupo);
      if (LeeRespuesta() != estado::kGrupoSeleccionado) FallaEstado(grupo);
    }
    Envia(comando);
    codigo = LeeRespuesta();
  }
  return codigo;
}

void News::LeeCapacidades() {
  caps_known_ = has_over_ = has_starttls_ = has_reader_ = has_authinfo_ = has_authinfo_user_ = false;
  Envia("CAPABILITIES");
  const int codigo = LeeRespuesta();
  if (codigo != estado::kListaCapacidades) {
    // RFC 977 servers do not know the command: nothing is known then.
    if (codigo >= 400) return;
    FallaEstado("CAPABILITIES");
  }
  std::vector<std::string> lineas;
  LeeBloque(kLimiteCapacidades, "la respuesta a \"CAPABILITIES\"",
            [&lineas](std::string_view l) { lineas.emplace_back(l); });
  const Capacidades caps(lineas);
  caps_known_ = true;
  has_over_ = caps.Tiene("OVER");
  has_starttls_ = caps.Tiene("STARTTLS");
  has_reader_ = caps.Tiene("READER");
  has_authinfo_ = caps.Tiene("AUTHINFO");
  has_authinfo_user_ = caps.TieneArgumento("AUTHINFO", "USER");
}

void News::Conecta() {
  new_groups_.clear();
  overview_.clear();
  article_text_.clear();
  CompruebaTexto(host_, "Host");
  CompruebaTexto(user_name_, "UserName");
  CompruebaTexto(password_, "Password");
  const Direccion dir = AnalizaHost(host_);
  if (conn_) Desconecta();
  fallo_conexion_.reset();

  server_name_ = dir.nombre;
  server_text_ = Describe(dir);
  conn_ = Conexion::Abre(dir.nombre, dir.puerto, timeout_);
  if (dir.tls_implicito || implicit_tls_) conn_->IniciaTls(server_name_, trust_file_);

  const int saludo = LeeRespuesta();
  if (saludo != estado::kListoConPublicacion && saludo != estado::kListoSinPublicacion) {
    FallaEstado("");
  }
  const bool transito = Contiene(status_line_, "transit");

  LeeCapacidades();
  const bool lector = caps_known_ ? has_reader_ : !transito;
  if (!lector) {
    const std::string orden = "MODE READER";
    const int codigo = Orden(orden);
    if (codigo == estado::kListoConPublicacion || codigo == estado::kListoSinPublicacion) {
      if (caps_known_) LeeCapacidades();
    } else if (codigo != estado::kOrdenDesconocida && codigo != estado::kErrorDeSintaxis) {
      FallaEstado(orden);
    }
  }
}

void News::Desconecta() {
  fallo_conexion_.reset();
  if (!conn_) return;
  conn_->Timeout(timeout_);
  try {
    Envia("QUIT");
    LeeRespuesta();
  } catch (const Error&) {
    // The session ends either way.
  }
  Olvida();
}

void News::IniciaStartTls() {
  const std::string orden = "STARTTLS";
  Envia(orden);
  if (LeeRespuesta() != estado::kSigaConTls) {
    const auto e = AnalizaEstado(status_line_);
    throw Error(errnum::kTls, "El servidor respondió: " + LineaLegible(status_line_) +
                                  " (a \"STARTTLS\" en " + server_text_ + ")" +
                                  (e ? "" : ": respuesta ilegible"));
  }
  conn_->IniciaTls(server_name_, trust_file_);
  // RFC 4642 §2.2.2: what was learnt before the handshake no longer holds.
  LeeCapacidades();
}

void News::Autentica() {
  // UserName first; else the host's own ~/.netrc entry, else its "default" entry. The file is
  // read only now, so a refused file (readable by others) is reported where it matters.
  std::optional<CredencialesNetrc> cred;
  if (!user_name_.empty()) {
    cred = CredencialesNetrc{user_name_, password_};
  } else {
    cred = LeeNetrc(netrc_path_.empty() ? RutaNetrcPorDefecto() : netrc_path_, server_name_);
    if (cred && cred->usuario.empty()) cred.reset();
  }
  if (!cred) {
    throw Error(estado::kAutenticacionRequerida,
                "El servidor respondió: " + LineaLegible(status_line_) + " (" + server_text_ +
                    " pide credenciales y no hay UserName ni entrada para " + server_name_ +
                    " en " + (netrc_path_.empty() ? "~/.netrc" : netrc_path_) + ")");
  }
  if (TieneControl(cred->usuario) || TieneControl(cred->contrasena)) {
    throw Error(errnum::kArgumentoNoValido,
                "El usuario o la contraseña de " + server_name_ + " contienen CR, LF o NUL");
  }
  if (!conn_->EsTls()) {
    if (has_starttls_) {
      IniciaStartTls();
    } else if (!conn_->PeerEsLoopback() || loopback_as_remote_) {
      throw Error(errnum::kCredenciales,
                  "No se envían credenciales a " + server_text_ +
                      " por una conexión sin cifrar, y el servidor no ofrece STARTTLS");
    }
  }
  // RFC 4643 §2.1: AUTHINFO listed without USER (SASL only, or nothing in this state) rules
  // USER/PASS out. A server listing no AUTHINFO at all predates that and may still take them.
  if (caps_known_ && has_authinfo_ && !has_authinfo_user_) {
    throw Error(errnum::kCredenciales, "El servidor " + server_text_ +
                                           " pide credenciales pero no admite AUTHINFO USER (solo SASL u"
                                           " otro método), y no se le envían usuario ni contraseña");
  }

  auto rechazo = [this](const std::string& orden) {
    return Error(errnum::kCredenciales, "El servidor " + server_text_ + " rechazó las credenciales: " +
                                            LineaLegible(status_line_) + " (a \"" + orden + "\")");
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
  authenticated_ = true;
  // RFC 4643 §2.4.3: the capabilities may differ once authenticated.
  LeeCapacidades();
}

void News::Seleccion() {
  group_selected_ = false;
  const std::string orden = "GROUP " + group_name_;
  if (Orden(orden) != estado::kGrupoSeleccionado) FallaEstado(orden);
  const auto e = AnalizaEstado(status_line_);
  const auto g = e ? AnalizaGrupo(e->texto) : std::nullopt;
  if (!g || g->cantidad < 0 || g->primero < 0 || g->ultimo < 0) {
    throw Error(errnum::kProtocolo, "Respuesta ilegible a \"" + orden + "\" de " + server_text_ +
                                        ": \"" + LineaLegible(status_line_) + "\"");
  }
  group_count_ = g->cantidad;
  group_low_ = g->primero;
  group_high_ = g->ultimo;
  selected_group_ = group_name_;
  group_selected_ = true;
}

void News::ListaGruposNuevos() {
  new_groups_.clear();
  CompruebaTexto(since_date_, "SinceDate");
  const std::string orden = "NEWGROUPS " + FechaNewgroups(since_date_);
  RequiereConexion();
  if (Orden(orden) != estado::kGruposNuevosSiguen) FallaEstado(orden);
  std::vector<std::string> lineas;
  LeeBloque(kLimiteGruposNuevos, "la respuesta a \"" + orden + "\"",
            [&lineas](std::string_view l) { lineas.emplace_back(l); });
  new_groups_ = std::move(lineas);
}

std::string News::OrdenResumen(bool over) const {
  return (over ? "OVER " : "XOVER ") + std::to_string(group_low_) + "-" + std::to_string(group_high_);
}

void News::LeeEncabezados() {
  overview_.clear();
  const std::function<bool(std::string_view)> filtro = std::exchange(filtro_resumen_, nullptr);
  CompruebaGrupo(group_name_);
  RequiereConexion();
  // Asked for ahead (AnticipaResumen): the group is selected and the reply is the next one on
  // the stream.
  const bool pedido = resumen_pedido_ && grupo_resumen_ == group_name_;
  if (!pedido) {
    if (!group_selected_ || selected_group_ != group_name_) Seleccion();
    if (group_count_ == 0 || group_high_ < group_low_) return;
  }
  std::string orden = pedido ? orden_resumen_ : OrdenResumen(has_over_);
  int codigo;
  if (pedido) {
    resumen_pedido_ = false;
    conn_->IniciaPlazo();  // asked for a while ago; its reading starts now
    codigo = LeeRespuesta();
    if (PideCredenciales(codigo)) codigo = Orden(orden);
  } else {
    codigo = Orden(orden);
  }
  if (codigo == estado::kOrdenDesconocida && has_over_) {
    has_over_ = false;
    orden = OrdenResumen(false);
    codigo = Orden(orden);
  }
  if (codigo == estado::kRangoSinArticulos) return;  // every article of the range is gone
  if (codigo != estado::kResumenSigue) FallaEstado(orden);

  LineasGuardadas lineas;
  // The reply's count is the server's estimate; never trust it for more than a modest reserve.
  lineas.reserve(static_cast<std::size_t>(std::min<std::int64_t>(group_count_, 1 << 20)));
  LeeBloque(LimiteResumen(), "la respuesta a \"" + orden + "\"", [&lineas, &filtro](std::string_view l) {
    if (!filtro || filtro(l)) lineas.push_back(l);
  });
  overview_ = std::move(lineas);
}

}  // namespace tablon::nntp
