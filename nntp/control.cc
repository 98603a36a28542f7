// The news control's operations over one NNTP session (nntp/sesion.h, which connects,
// authenticates and exchanges commands): each operation is one command (GROUP, OVER/XOVER,
// NEWGROUPS, ARTICLE), checked before anything is sent.
//
// A transport or protocol failure leaves the stream at an unknown point (a half-read block, a
// reply still coming): the connection is dropped and `Connected()` turns false. A failure
// status (411, 430, ...) leaves the session usable.
#include "nntp/control.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <utility>

#include "core/fecha.h"
#include "core/error.h"
#include "core/traduce.h"
#include "nntp/respuesta.h"
#include "red/linea_legible.h"
#include "red/lineas.h"

namespace tablon::nntp {

namespace {

// The session is still in step after errors of these kinds.
bool SesionIntacta(long numero) {
  return (numero >= 100 && numero <= 599) || numero == errnum::kArgumentoNoValido ||
         numero == errnum::kCredenciales;
}

void CompruebaGrupo(std::string_view nombre) {
  CompruebaTexto(nombre, "GroupName");
  if (nombre.empty()) throw Error(errnum::kArgumentoNoValido, Traduce("GroupName está vacío"));
  for (char c : nombre) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) {
      throw Error(errnum::kArgumentoNoValido,
                  Formatea(Traduce("El nombre de grupo \"%s\" contiene blancos o caracteres de control"),
                           {red::LineaLegible(nombre)}));
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
                Formatea(Traduce("\"%s\" no es un identificador de mensaje <...> válido"), {red::LineaLegible(id)}));
  }
}

// NEWGROUPS's "yyyymmdd hhmmss GMT" (RFC 3977 §7.3) from the control's local date text.
std::string FechaNewgroups(const std::string& local) {
  const auto fecha = LeeFormatoControl(local);
  if (!fecha) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("SinceDate \"%s\" no es una fecha \"ddd, dd mmm yyyy hh:mm:ss\""),
                         {red::LineaLegible(local)}));
  }
  const std::time_t t = static_cast<std::time_t>(fecha->AUnix());
  std::tm utc{};
  if (t == static_cast<std::time_t>(-1) || !gmtime_r(&t, &utc) || utc.tm_year + 1900 < 0 ||
      utc.tm_year + 1900 > 9999) {
    throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("SinceDate \"%s\" está fuera de rango"), {local}));
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

// The bound of the NEWGROUPS list: far above what the largest servers send (their whole group
// list holds some 100,000 lines of a few dozen bytes).
constexpr Limite kLimiteGruposNuevos{250'000, 16 << 20};

// An article's text is given room for the largest allowed at once, up to this much; beyond it
// (a limit set that high) it grows as it comes.
constexpr std::uint64_t kReservaArticuloMaxima = std::uint64_t{256} << 20;

}  // namespace

Control::Control()
    : max_articulo_(Entorno("TABLON_MAX_ARTICULO", kMaxArticuloPorOmision)),
      sesion_(Debug, {[this] { AntesDeEnviar(); },
                      [this](const std::string& comando) { TrasAutenticar(comando); }}) {
  const auto timeout = static_cast<std::int64_t>(Entorno("TABLON_TIMEOUT_MS", 60'000));
  sesion_.Timeout(std::chrono::milliseconds(timeout));
}
Control::~Control() = default;

template <class F>
void Control::Opera(F&& operacion, bool conectando) {
  try {
    operacion();
  } catch (const Error& e) {
    if (conectando || !SesionIntacta(e.Number())) Cae(e, conectando);
    throw;
  } catch (const std::bad_alloc&) {
    // Whatever was being read is half read: the stream is of no further use.
    const Error e(errnum::kMemoriaInsuficiente,
                  Formatea(Traduce("Memoria insuficiente para la respuesta de %s: se cierra la conexión"),
                           {sesion_.TextoServidor().empty() ? std::string(Traduce("el servidor de noticias"))
                                                            : sesion_.TextoServidor()}));
    Cae(e, conectando);
    throw e;
  }
}

void Control::Cae(const Error& e, bool conectando) {
  if (sesion_.Conectada() || conectando) fallo_conexion_ = e;
  Olvida();
}

const std::string& Control::NewGroupLine(std::int64_t i) const {
  if (i < 0 || i >= NewGroupCount()) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("%s: índice %s fuera de 0..%s"),
                         {"NewGroupLine", std::to_string(i), std::to_string(NewGroupCount() - 1)}));
  }
  return new_groups_[static_cast<std::size_t>(i)];
}

std::string_view Control::OverviewLine(std::int64_t i) const {
  if (i < 0 || i >= OverviewCount()) {
    throw Error(errnum::kArgumentoNoValido,
                Formatea(Traduce("%s: índice %s fuera de 0..%s"),
                         {"OverviewLine", std::to_string(i), std::to_string(OverviewCount() - 1)}));
  }
  return overview_[static_cast<std::size_t>(i)];
}

void Control::Command(std::int32_t code) {
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
        throw Error(errnum::kArgumentoNoValido,
                    Formatea(Traduce("Código de orden desconocido: %s"), {std::to_string(code)}));
    }
  }, code == kConectar);
}

void Control::SelectGroup() {
  Opera([&] {
    CompruebaGrupo(group_name_);
    if (resumen_pedido_ && grupo_resumen_ == group_name_) {
      // Asked for together with its overview: the GROUP's reply comes first.
      if (grupo_pedido_) {
        bool credenciales = false;
        const std::optional<Error> fallo = RecogeGrupo(credenciales);
        if (!fallo) return;
        if (!credenciales) throw *fallo;
        // The server wants credentials first: the ordinary way, which gives them.
        Seleccion();
        return;
      }
      // Selected a moment ago, its overview on the way: choosing it again would drop that.
      if (group_selected_ && selected_group_ == group_name_) return;
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

void Control::FetchArticle() {
  article_text_.clear();
  article_text_.shrink_to_fit();
  Opera([&] {
    CompruebaIdentificador(article_key_);
    RequiereConexion();
    const std::string orden = "ARTICLE " + article_key_;
    if (sesion_.Orden(orden) != estado::kArticuloSigue) sesion_.FallaEstado(orden);
    std::string texto;
    LeeArticulo(orden, texto);
    article_text_ = std::move(texto);
  });
}

bool Control::LeeArticulo(const std::string& orden, std::string& texto) {
  texto.clear();
  if (AnalizaEstado(sesion_.LineaEstado())->codigo != estado::kArticuloSigue) return false;
  // Room for the largest article allowed, taken at once: pages the text never reaches are
  // never touched, and a text that grows is never copied (a copy would hold it twice).
  texto.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(max_articulo_, kReservaArticuloMaxima)));
  sesion_.LeeBloque({max_articulo_ / 2, max_articulo_}, orden,
                    [&texto](std::string_view linea) {
                      texto.append(linea);
                      texto.append("\r\n");
                    });
  return true;
}

void Control::FetchArticles(const std::vector<std::string>& claves, const CadaArticulo& cada) {
  const std::size_t n = claves.size();
  std::vector<std::string> ordenes(n);
  std::vector<std::optional<Error>> invalidos(n);
  for (std::size_t i = 0; i < n; ++i) {
    try {
      CompruebaIdentificador(claves[i]);
      ordenes[i] = "ARTICLE " + claves[i];
    } catch (const Error& e) {
      invalidos[i] = e;  // never sent
    }
  }
  std::size_t enviado = 0;  // the commands of articles [0, enviado) are sent (or never will be)
  std::size_t leido = 0;    // the articles [0, leido) have had their call
  std::string texto;
  // Sends commands until the window is full: at most kVentanaArticulos replies still due.
  auto envia = [&] {
    std::size_t pendientes = 0;
    for (std::size_t k = leido; k < enviado; ++k) pendientes += !invalidos[k];
    while (enviado < n && pendientes < kVentanaArticulos) {
      if (!invalidos[enviado]) {
        sesion_.Envia(ordenes[enviado]);
        ++pendientes;
      }
      ++enviado;
    }
  };
  // What the sent articles after `leido` still owe: their replies, read and dropped.
  auto descarta = [&] {
    for (std::size_t k = leido; k < enviado; ++k) {
      if (invalidos[k]) continue;
      sesion_.IniciaPlazo();
      sesion_.LeeRespuesta();
      LeeArticulo(ordenes[k], texto);
    }
    enviado = leido;
  };
  while (leido < n) {
    const std::size_t i = leido;
    if (invalidos[i]) {
      ++leido;
      cada(i, texto, &*invalidos[i]);
      continue;
    }
    std::optional<Error> fallo;
    try {
      Opera([&] {
        RequiereConexion();
        envia();
        sesion_.IniciaPlazo();  // asked for earlier; its reading starts now
        int codigo = sesion_.LeeRespuesta();
        if (sesion_.PideCredenciales(codigo)) {
          // The replies of the commands sent after it ask the same: dropped, then this one is
          // asked again the ordinary way (which authenticates) and the rest sent anew.
          leido = i + 1;
          descarta();
          leido = i;
          enviado = i + 1;
          codigo = sesion_.Orden(ordenes[i]);
        }
        if (codigo != estado::kArticuloSigue) sesion_.FallaEstado(ordenes[i]);
        LeeArticulo(ordenes[i], texto);
      });
    } catch (const Error& e) {
      fallo = e;
    }
    ++leido;
    try {
      cada(i, texto, fallo ? &*fallo : nullptr);
    } catch (...) {
      // The caller stops here: the replies still due are read and dropped, so the stream
      // stands where the next command's reply will be.
      try {
        Opera([&] { if (sesion_.Conectada()) descarta(); });
      } catch (const Error&) {
        // Opera has dropped the connection.
      }
      throw;
    }
  }
  texto.clear();
  texto.shrink_to_fit();
}

void Control::PideGrupoYResumen(const std::string& grupo) {
  // GROUP and the overview together: one round trip. The range is open (unless RangoResumen
  // closed it); the GROUP's reply, read first, bounds the overview's.
  sesion_.Envia("GROUP " + grupo);
  orden_resumen_ = std::string(sesion_.TieneOver() ? "OVER " : "XOVER ") +
                   std::to_string(std::max<std::int64_t>(desde_resumen_, 1)) + "-" +
                   (hasta_resumen_ > 0 ? std::to_string(hasta_resumen_) : std::string());
  sesion_.Envia(orden_resumen_);
  grupo_pedido_ = true;
  resumen_pedido_ = true;
  grupo_resumen_ = grupo;
}

void Control::AnticipaResumen() {
  if (resumen_pedido_) return;
  try {
    Opera([&] {
      CompruebaGrupo(group_name_);
      RequiereConexion();
      if (group_selected_ && selected_group_ == group_name_) {
        const std::optional<std::string> orden = OrdenResumen(sesion_.TieneOver());
        if (!orden) return;
        orden_resumen_ = *orden;
        sesion_.Envia(orden_resumen_);
      } else {
        PideGrupoYResumen(group_name_);
        return;
      }
      resumen_pedido_ = true;
      grupo_resumen_ = group_name_;
    });
  } catch (const Error& e) {
    // Opera has dropped the connection when the failure broke the session.
    if (!sesion_.Conectada()) {
      error_anticipado_ = e;
    } else {
      error_grupo_anticipado_ = e;
      grupo_error_anticipado_ = group_name_;
    }
  }
}

std::optional<Error> Control::RecogeGrupo(bool& credenciales) {
  grupo_pedido_ = false;
  const std::string orden = "GROUP " + grupo_resumen_;
  // Whether this control took a group as selected: the server keeps it when GROUP fails.
  const bool habia_grupo = group_selected_;
  group_selected_ = false;
  sesion_.IniciaPlazo();  // asked for a while ago; its reading starts now
  const int codigo = sesion_.LeeRespuesta();
  if (codigo == estado::kGrupoSeleccionado) {
    AnotaGrupo(orden, grupo_resumen_);
    return std::nullopt;
  }
  credenciales = sesion_.PideCredenciales(codigo);
  const Error fallo = sesion_.ErrorEstado(orden);
  resumen_pedido_ = false;
  sesion_.IniciaPlazo();
  if (sesion_.LeeRespuesta() == estado::kResumenSigue) {
    // About the group the server kept selected (the last one a GROUP chose on this
    // connection, whose numbers are still here): bounded by its range.
    sesion_.LeeBloque(LimiteResumen(), orden_resumen_, [](std::string_view) {});
  }
  if (habia_grupo) group_selected_ = true;  // the server keeps it (RFC 3977 section 6.1.1)
  return fallo;
}

void Control::Olvida() {
  resumen_pedido_ = false;
  grupo_pedido_ = false;
  error_grupo_anticipado_.reset();
  sesion_.Olvida();
  group_selected_ = false;
  selected_group_.clear();
  group_low_ = group_high_ = group_count_ = 0;
}

void Control::RequiereConexion() {
  if (error_anticipado_) {
    const Error e = *error_anticipado_;
    error_anticipado_.reset();
    throw e;
  }
  sesion_.RequiereConexion();
}

void Control::AntesDeEnviar() {
  if (resumen_pedido_) DescartaResumen();
  error_grupo_anticipado_.reset();
}

void Control::TrasAutenticar(const std::string& comando) {
  // STARTTLS may have reset the session: choose the group again for the commands using it.
  if (group_selected_ && comando.rfind("GROUP ", 0) != 0) {
    const std::string grupo = "GROUP " + selected_group_;
    sesion_.Envia(grupo);
    if (sesion_.LeeRespuesta() != estado::kGrupoSeleccionado) sesion_.FallaEstado(grupo);
  }
}

void Control::DescartaResumen() {
  if (grupo_pedido_) {
    bool credenciales = false;
    RecogeGrupo(credenciales);  // a failure of that GROUP belongs to no one now
    if (!resumen_pedido_) return;
  }
  resumen_pedido_ = false;
  sesion_.IniciaPlazo();
  if (sesion_.LeeRespuesta() == estado::kResumenSigue) {
    sesion_.LeeBloque(LimiteResumen(), orden_resumen_, [](std::string_view) {});
  }
}

Limite Control::LimiteResumen() const {
  // high − low + 1 lines, saturated (the numbers come from the server), plus the margin.
  const std::uint64_t rango =
      group_high_ >= group_low_ ? static_cast<std::uint64_t>(group_high_) - static_cast<std::uint64_t>(group_low_) + 1
                                : 0;
  constexpr std::uint64_t kTope = std::uint64_t{1} << 48;
  const std::uint64_t lineas = std::min(rango, kTope) + kMargenResumen;
  const std::uint64_t bytes = std::max(lineas * kBytesPorLineaResumen, 2 * static_cast<std::uint64_t>(red::kLineaMaxima));
  return {lineas, bytes};
}

void Control::Conecta() {
  new_groups_.clear();
  overview_.clear();
  article_text_.clear();
  const red::Direccion destino = sesion_.CompruebaDestino(host_);
  if (sesion_.Conectada()) Desconecta();
  fallo_conexion_.reset();
  sesion_.Conecta(destino);
}

void Control::Desconecta() {
  fallo_conexion_.reset();
  if (!sesion_.Conectada()) return;
  sesion_.Desconecta();
  Olvida();
}

void Control::Seleccion() {
  group_selected_ = false;
  const std::string orden = "GROUP " + group_name_;
  if (sesion_.Orden(orden) != estado::kGrupoSeleccionado) sesion_.FallaEstado(orden);
  AnotaGrupo(orden, group_name_);
}

void Control::AnotaGrupo(const std::string& orden, const std::string& grupo) {
  const auto e = AnalizaEstado(sesion_.LineaEstado());
  const auto g = e ? AnalizaGrupo(e->texto) : std::nullopt;
  if (!g || g->cantidad < 0 || g->primero < 0 || g->ultimo < 0) {
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("Respuesta ilegible a \"%s\" de %s: \"%s\""),
                         {orden, sesion_.TextoServidor(), red::LineaLegible(sesion_.LineaEstado())}));
  }
  group_count_ = g->cantidad;
  group_low_ = g->primero;
  group_high_ = g->ultimo;
  selected_group_ = grupo;
  group_selected_ = true;
}

void Control::ListaGruposNuevos() {
  new_groups_.clear();
  CompruebaTexto(since_date_, "SinceDate");
  const std::string orden = "NEWGROUPS " + FechaNewgroups(since_date_);
  const std::string siguiente = std::exchange(resumen_tras_grupos_nuevos_, std::string());
  RequiereConexion();
  sesion_.Envia(orden);
  bool valido = !siguiente.empty();
  try {
    if (valido) CompruebaGrupo(siguiente);
  } catch (const Error&) {
    valido = false;  // a name that cannot be sent is refused when that group's turn comes
  }
  if (valido) PideGrupoYResumen(siguiente);
  int codigo = sesion_.LeeRespuesta();
  if (codigo != estado::kGruposNuevosSiguen && resumen_pedido_) {
    // What went out behind it is read and dropped first, so that the stream stands where the
    // next command is answered. Then NEWGROUPS's own failure is raised; a request for
    // credentials is met by asking again, alone, as any command's.
    std::optional<Error> fallo;
    if (!sesion_.PideCredenciales(codigo)) fallo = sesion_.ErrorEstado(orden);
    DescartaResumen();
    if (fallo) throw *fallo;
    codigo = sesion_.Orden(orden);
  } else {
    codigo = sesion_.ConCredenciales(codigo, orden);
  }
  if (codigo != estado::kGruposNuevosSiguen) sesion_.FallaEstado(orden);
  std::vector<std::string> lineas;
  sesion_.LeeBloque(kLimiteGruposNuevos, orden,
                    [&lineas](std::string_view l) { lineas.emplace_back(l); });
  new_groups_ = std::move(lineas);
}

std::optional<std::string> Control::OrdenResumen(bool over) const {
  if (group_count_ == 0 || group_high_ < group_low_) return std::nullopt;
  const std::int64_t desde = std::max(group_low_, desde_resumen_);
  const std::int64_t hasta = hasta_resumen_ > 0 ? std::min(group_high_, hasta_resumen_) : group_high_;
  if (desde > hasta) return std::nullopt;
  return (over ? "OVER " : "XOVER ") + std::to_string(desde) + "-" + std::to_string(hasta);
}

std::optional<std::string> Control::IdentificadorDe(std::int64_t numero) {
  std::optional<std::string> id;
  Opera([&] {
    CompruebaGrupo(group_name_);
    RequiereConexion();
    if (!group_selected_ || selected_group_ != group_name_) Seleccion();
    const std::string orden = "STAT " + std::to_string(numero);
    const int codigo = sesion_.Orden(orden);
    if (codigo == estado::kRangoSinArticulos) return;
    if (codigo != estado::kArticuloExiste) sesion_.FallaEstado(orden);
    // "223 n <id>": the identifier is the third word.
    const std::string& linea = sesion_.LineaEstado();
    const std::size_t a = linea.find('<');
    const std::size_t b = a == std::string::npos ? a : linea.find('>', a);
    if (b == std::string::npos) {
      throw Error(errnum::kProtocolo, Formatea(Traduce("Respuesta sin identificador a \"%s\" de %s: \"%s\""),
                                               {orden, sesion_.TextoServidor(), red::LineaLegible(linea)}));
    }
    id = linea.substr(a, b - a + 1);
  });
  return id;
}

std::vector<std::int64_t> Control::NumerosDelGrupo(std::int64_t desde, std::int64_t hasta) {
  std::vector<std::int64_t> numeros;
  Opera([&] {
    CompruebaGrupo(group_name_);
    RequiereConexion();
    const std::string orden = "LISTGROUP " + group_name_ + " " + std::to_string(desde) + "-" + std::to_string(hasta);
    group_selected_ = false;
    if (sesion_.Orden(orden) != estado::kGrupoSeleccionado) sesion_.FallaEstado(orden);
    AnotaGrupo(orden, group_name_);
    const std::uint64_t rango = hasta >= desde ? static_cast<std::uint64_t>(hasta - desde) + 1 : 0;
    const std::uint64_t lineas = std::min<std::uint64_t>(rango, std::uint64_t{1} << 40) + kMargenResumen;
    sesion_.LeeBloque({lineas, lineas * 24}, orden, [&](std::string_view l) {
      std::int64_t n = 0;
      const auto [fin, ec] = std::from_chars(l.data(), l.data() + l.size(), n);
      if (ec != std::errc() || fin != l.data() + l.size()) {
        throw Error(errnum::kProtocolo,
                    Formatea(Traduce("Número de artículo ilegible en la respuesta a \"%s\": \"%s\""),
                             {orden, red::LineaLegible(l)}));
      }
      numeros.push_back(n);
    });
  });
  return numeros;
}

void Control::LeeEncabezados() {
  overview_.clear();
  const std::function<bool(std::string_view)> filtro = std::exchange(filtro_resumen_, nullptr);
  CompruebaGrupo(group_name_);
  RequiereConexion();
  if (resumen_pedido_ && grupo_resumen_ == group_name_ && grupo_pedido_) {
    bool credenciales = false;
    const std::optional<Error> fallo = RecogeGrupo(credenciales);
    if (fallo && !credenciales) throw *fallo;
  }
  // Asked for ahead (AnticipaResumen): the group is selected and the reply is the next one on
  // the stream.
  const bool pedido = resumen_pedido_ && grupo_resumen_ == group_name_;
  std::string orden;
  if (pedido) {
    orden = orden_resumen_;
  } else {
    if (!group_selected_ || selected_group_ != group_name_) Seleccion();
    std::optional<std::string> o = OrdenResumen(sesion_.TieneOver());
    if (!o) return;
    orden = std::move(*o);
  }
  int codigo;
  if (pedido) {
    resumen_pedido_ = false;
    sesion_.IniciaPlazo();  // asked for a while ago; its reading starts now
    codigo = sesion_.LeeRespuesta();
    if (sesion_.PideCredenciales(codigo)) codigo = sesion_.Orden(orden);
  } else {
    codigo = sesion_.Orden(orden);
  }
  if (codigo == estado::kOrdenDesconocida && sesion_.TieneOver()) {
    sesion_.DescartaOver();
    std::optional<std::string> o = OrdenResumen(false);
    if (!o) return;
    orden = std::move(*o);
    codigo = sesion_.Orden(orden);
  }
  if (codigo == estado::kRangoSinArticulos) return;  // every article of the range is gone
  if (codigo != estado::kResumenSigue) sesion_.FallaEstado(orden);

  LineasGuardadas lineas;
  // The reply's count is the server's estimate; never trust it for more than a modest reserve.
  lineas.reserve(static_cast<std::size_t>(std::min<std::int64_t>(group_count_, 1 << 20)));
  sesion_.LeeBloque(LimiteResumen(), orden,
                    [&lineas, &filtro](std::string_view l) {
                      if (!filtro || filtro(l)) lineas.push_back(l);
                    });
  overview_ = std::move(lineas);
}

}  // namespace tablon::nntp
