#include "store/imap/item_imap.h"

#include <algorithm>
#include <ctime>

#include "core/ascii.h"
#include "core/error.h"
#include "core/huella.h"
#include "core/paso.h"
#include "core/traduce.h"

namespace tablon::store::imap {

namespace {

constexpr const char* kBorradores = "Borradores";

bool EsBandera(std::string_view b, std::string_view nombre) { return IgualSinCaso(b, nombre); }

bool Contiene(const std::vector<std::string>& v, std::string_view nombre) {
  return std::any_of(v.begin(), v.end(), [&](const std::string& b) { return EsBandera(b, nombre); });
}

// The flags the store keeps apart (\Seen, \Flagged) and those no APPEND may carry.
bool EsPropia(std::string_view b) {
  return EsBandera(b, "\\Seen") || EsBandera(b, "\\Flagged") || EsBandera(b, "\\Recent") ||
         EsBandera(b, "\\Deleted");
}

// Bytes as IMAP carries them: every LF preceded by CR. The item format writes no CR at all, so
// the reverse (LfDeCrlf) gives back exactly what was written.
std::string CrlfDeLf(std::string_view s) {
  std::string r;
  r.reserve(s.size() + s.size() / 32 + 2);
  for (const char c : s) {
    if (c == '\n') r += '\r';
    r += c;
  }
  return r;
}

std::string LfDeCrlf(std::string_view s) {
  std::string r;
  r.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    r += s[i];
  }
  return r;
}

// An APPEND's date-time: "dd-Mon-yyyy hh:mm:ss +hhmm", on the clock of the item's zone (the one
// its Date shows), else of UTC.
std::string FechaImap(Fecha f, std::optional<int> zona) {
  static constexpr const char* kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const int z = zona && *zona >= -5999 && *zona <= 5999 ? *zona : 0;
  const std::time_t t = static_cast<std::time_t>(f.AUnix() + std::int64_t{z} * 60);
  std::tm tm{};
  gmtime_r(&t, &tm);
  if (tm.tm_year + 1900 < 1970 || tm.tm_year + 1900 > 9999) return "01-Jan-1970 00:00:00 +0000";
  const int a = z < 0 ? -z : z;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%02d-%s-%04d %02d:%02d:%02d %c%02d%02d", tm.tm_mday, kMeses[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, z < 0 ? '-' : '+', a / 60, a % 60);
  return buf;
}

// A command's completion that must be OK; kProtocolo with the server's text otherwise.
void Exige(const Completado& c, const char* comando) {
  if (!c.Ok()) {
    throw Error(errnum::kProtocolo, Formatea(Traduce("El servidor IMAP rechazó %s: %s"), {comando, c.texto}));
  }
}

// What an item whose message another client removed says, by what it was doing.
constexpr const char* kNoLeerCuerpo =
    ParaTraducir("No se puede leer el cuerpo de " "el elemento: su mensaje se borró de la carpeta IMAP «%s»");
constexpr const char* kNoLeer =
    ParaTraducir("No se puede leer " "el elemento: su mensaje se borró de la carpeta IMAP «%s»");
constexpr const char* kNoGuardar =
    ParaTraducir("No se puede guardar " "el elemento: su mensaje se borró de la carpeta IMAP «%s»");
constexpr const char* kNoMover =
    ParaTraducir("No se puede mover " "el elemento: su mensaje se borró de la carpeta IMAP «%s»");


std::string ListaBanderas(const std::vector<std::string>& banderas) {
  std::string r = "(";
  for (const auto& b : banderas) {
    if (r.size() > 1) r += ' ';
    r += b;
  }
  return r + ")";
}

}  // namespace

ItemImap::ItemImap(std::shared_ptr<ContextoImap> ctx) : ctx_(std::move(ctx)) {
  reg_ = std::make_unique<Campos>();
  reg_->reg.message_id = ctx_->NuevoMessageId();
  reg_->reg.creado = Fecha::Ahora();
  huella_id_ = Fnv1a(reg_->reg.message_id);
}

ItemImap::~ItemImap() {
  if (!pendiente_) return;
  try {
    EscribeBorrador();
  } catch (const std::exception& e) {
    ctx_->OlvidaPendiente(this);
    NotificaFalloOmitido(e);
  }
}

std::shared_ptr<ItemImap> ItemImap::DesdeListado(std::shared_ptr<CarpetaImap> carpeta, std::uint32_t uid,
                                                 std::vector<std::string> banderas,
                                                 std::string_view cabecera) {
  auto item = std::shared_ptr<ItemImap>(new ItemImap(carpeta->Ctx(), Listado{}));
  item->carpeta_ = std::move(carpeta);
  item->uid_ = uid;
  item->FijaBanderasLeidas(std::move(banderas));
  item->LeeCabecera(cabecera);
  item->cuerpo_cargado_ = false;
  return item;
}

void ItemImap::LeeCabecera(std::string_view cabecera) const {
  mensaje::CabeceraItem c = mensaje::LeeCabeceraItem(LfDeCrlf(cabecera));
  auto campos = std::make_unique<Campos>();
  campos->props.Adopta(std::move(c.registro.propiedades));
  c.registro.propiedades.clear();
  campos->reg = std::move(c.registro);
  forma_ = c.forma;
  huella_id_ = Fnv1a(campos->reg.message_id);
  reg_ = std::move(campos);
}

const mensaje::RegistroItem& ItemImap::Datos() const {
  if (reg_) return reg_->reg;
  // Let go by SueltaCampos: fetch the header fields again.
  const auto cabecera = const_cast<ItemImap*>(this)->TraeSeccion("BODY.PEEK[HEADER.FIELDS (" + CamposDeCabecera() + ")]");
  if (!cabecera) FallaBorrado(kNoLeer);
  LeeCabecera(*cabecera);
  return reg_->reg;
}

mensaje::RegistroItem& ItemImap::ACambiar() {
  Datos();
  if (!tocado_) {
    huella_ = HuellaCampos();
    tocado_ = true;
  }
  return reg_->reg;
}

int ItemImap::FlagStatus() const {
  if (marcado_) return kMarcado;
  const bool completada = reg_ ? reg_->reg.completada : completada_;
  return completada ? kMarcaCompletada : kSinMarca;
}

void ItemImap::SetFlagStatus(int v) {
  marcado_ = v == kMarcado;
  flag_set_ = true;
  if ((v == kMarcaCompletada) != Datos().completada) ACambiar().completada = v == kMarcaCompletada;
}

const std::string& ItemImap::Body() const {
  if (!cuerpo_cargado_) {
    const auto mensaje = const_cast<ItemImap*>(this)->TraeSeccion("BODY.PEEK[]");
    if (!mensaje) FallaBorrado(kNoLeerCuerpo);
    std::string cuerpo = mensaje::CuerpoDeArchivo(LfDeCrlf(*mensaje));
    body_ = cuerpo.empty() ? nullptr : std::make_unique<std::string>(std::move(cuerpo));
    cuerpo_cargado_ = true;
  }
  static const std::string vacio;
  return body_ ? *body_ : vacio;
}

void ItemImap::SetBody(std::string v) {
  body_ = v.empty() ? nullptr : std::make_unique<std::string>(std::move(v));
  cuerpo_cargado_ = true;
  cuerpo_cambiado_ = true;
}

std::string ItemImap::Bytes() const {
  Datos();
  const mensaje::RegistroItem& r = reg_->reg;
  const mensaje::VistaItem v{r.clase,       r.asunto,     r.remitente,       r.para,
                             r.responder_a, reg_->props.All(), r.message_id, r.in_reply_to,
                             r.references,  r.creado,     r.zona_creado,     r.completada};
  return mensaje::EscribeItem(v, Body());
}

std::uint64_t ItemImap::HuellaCampos() const {
  const mensaje::RegistroItem& r = Datos();
  const mensaje::VistaItem v{r.clase,       r.asunto,     r.remitente,       r.para,
                             r.responder_a, reg_->props.All(), r.message_id, r.in_reply_to,
                             r.references,  r.creado,     r.zona_creado,     r.completada};
  return Fnv1a(mensaje::EscribeItem(v, ""));
}

std::vector<std::string> ItemImap::BanderasParaEscribir(const std::vector<std::string>& base) const {
  std::vector<std::string> r;
  for (const auto& b : base) {
    if (!EsPropia(b)) r.push_back(b);
  }
  const bool propia = !carpeta_ || pendiente_;
  const bool visto = propia || unread_set_ ? !unread_ : Contiene(base, "\\Seen");
  const bool marcado = propia || flag_set_ ? marcado_ : Contiene(base, "\\Flagged");
  if (visto) r.push_back("\\Seen");
  if (marcado) r.push_back("\\Flagged");
  return r;
}

void ItemImap::AppendEn(CarpetaImap& dest, std::vector<std::string> banderas) {
  dest.Crea();
  const std::string atributos =
      ListaBanderas(banderas) + " \"" + FechaImap(Datos().creado, Datos().zona_creado) + "\"";
  std::string bytes = CrlfDeLf(Bytes());
  carpeta_ = std::static_pointer_cast<CarpetaImap>(dest.shared_from_this());
  uid_ = 0;
  unread_ = !Contiene(banderas, "\\Seen");
  marcado_ = Contiene(banderas, "\\Flagged");
  std::erase_if(banderas, [](const std::string& b) { return EsPropia(b); });
  banderas_ = std::move(banderas);
  // An object on its way out registers nothing (its UID is never asked for).
  std::weak_ptr<ItemImap> yo;
  if (!weak_from_this().expired()) yo = std::static_pointer_cast<ItemImap>(shared_from_this());
  serie_append_ = 0;
  serie_append_ = ctx_->Append(dest.Buzon(), atributos, std::move(bytes), std::move(yo));
}

void ItemImap::FijaBanderasLeidas(std::vector<std::string> banderas) {
  unread_ = !Contiene(banderas, "\\Seen");
  marcado_ = Contiene(banderas, "\\Flagged");
  std::erase_if(banderas, [](const std::string& b) { return EsPropia(b); });
  banderas_ = std::move(banderas);
}

void ItemImap::AppendCompletado(std::uint32_t uid) {
  uid_ = uid;
  serie_append_ = 0;
  if (uid != 0 && carpeta_) carpeta_->Conoce(uid, std::static_pointer_cast<ItemImap>(shared_from_this()));
}

void ItemImap::AnadeBanderasGuardadas(const std::vector<std::string>& banderas) {
  for (const auto& b : banderas) {
    if (EsBandera(b, "\\Seen")) {
      if (!unread_set_) unread_ = false;
    } else if (EsBandera(b, "\\Flagged")) {
      if (!flag_set_) marcado_ = true;
    } else if (!Contiene(banderas_, b)) {
      banderas_.push_back(b);
    }
  }
}

std::uint32_t ItemImap::UidResuelto() {
  if (serie_append_ != 0) ctx_->CompletaAppends(serie_append_);
  const std::string& id = reg_ ? reg_->reg.message_id : id_suelto_;
  if (uid_ == 0 && carpeta_ && !pendiente_ && !id.empty()) {
    // A server that does not say where an APPEND went: look the item up by its Message-ID.
    carpeta_->Selecciona();
    std::uint32_t encontrado = 0;
    auto oyente = ctx_->Escucha([&](Respuesta& r) {
      if (r.nombre != "SEARCH") return;
      for (const auto& v : r.datos) {
        if (v.tipo == TipoValor::kNumero) encontrado = std::max<std::uint32_t>(encontrado, static_cast<std::uint32_t>(v.numero));
      }
    });
    ctx_->Sesion().Ejecuta("UID SEARCH HEADER Message-ID " + EscribeCadena(id));
    uid_ = encontrado;
  }
  return uid_;
}

void ItemImap::FallaBorrado(const char* formato) const {
  throw Error(errnum::kObjetoNoEncontrado,
              Formatea(Traduce(formato), {carpeta_ ? carpeta_->Buzon() : std::string()}));
}

std::optional<std::string> ItemImap::TraeSeccion(const std::string& seccion) {
  const std::uint32_t uid = UidResuelto();
  if (uid == 0) return std::nullopt;
  std::optional<std::string> r;
  Secuencia sec;
  auto oyente = ctx_->Escucha([&](Respuesta& resp) {
    if (resp.nombre == "EXPUNGE" && resp.numero) sec.Expunge(*resp.numero);
    if (resp.nombre != "FETCH") return;
    Fetch f = AnalizaFetch(std::move(resp));
    if (f.uid == uid && !f.secciones.empty() && f.secciones.front().bytes) {
      r = std::move(*f.secciones.front().bytes);
      sec.Aprende(f.numero);
    }
  });
  ctx_->EjecutaAlDia(carpeta_->Buzon(), "UID FETCH " + std::to_string(uid) + " (" + seccion + ")");
  if (!sec.Vivo()) return std::nullopt;
  return r;
}

std::optional<std::vector<std::string>> ItemImap::BanderasActuales() {
  const std::uint32_t uid = UidResuelto();
  if (uid == 0) return std::nullopt;
  std::optional<std::vector<std::string>> r;
  Secuencia sec;
  auto oyente = ctx_->Escucha([&](Respuesta& resp) {
    if (resp.nombre == "EXPUNGE" && resp.numero) sec.Expunge(*resp.numero);
    if (resp.nombre != "FETCH") return;
    Fetch f = AnalizaFetch(std::move(resp));
    if (f.uid == uid && f.flags) {
      r = std::move(*f.flags);
      sec.Aprende(f.numero);
    }
  });
  ctx_->EjecutaAlDia(carpeta_->Buzon(), "UID FETCH " + std::to_string(uid) + " (FLAGS)");
  if (!sec.Vivo()) return std::nullopt;
  return r;
}

void ItemImap::Expunge(std::uint32_t uid) {
  carpeta_->Selecciona();
  auto& s = ctx_->Sesion();
  const std::string n = std::to_string(uid);
  const auto marca = s.Envia(Comando{"UID STORE " + n + " +FLAGS.SILENT (\\Deleted)", {}});
  const auto borra = s.Envia(Comando{ctx_->OrdenExpunge(n), {}});
  Exige(s.Espera(marca), "UID STORE");
  Exige(s.Espera(borra), "UID EXPUNGE");
}

void ItemImap::MarcaGuardado() {
  unread_set_ = false;
  flag_set_ = false;
  tocado_ = false;
  cuerpo_cambiado_ = false;
}

void ItemImap::Save() {
  if (!carpeta_) {
    auto borradores = std::make_shared<CarpetaImap>(ctx_, std::vector<std::string>{kBorradores});
    if (ctx_->BorradoresEnMemoria()) {
      carpeta_ = std::move(borradores);
      pendiente_ = true;
      ctx_->RegistraPendiente(this);
      MarcaGuardado();
      return;
    }
    AppendEn(*borradores, BanderasParaEscribir({}));
    MarcaGuardado();
    return;
  }
  if (pendiente_) {
    MarcaGuardado();
    return;
  }
  const bool cambiado = cuerpo_cambiado_ || (tocado_ && HuellaCampos() != huella_);
  if (!cambiado) {
    std::string mas, menos;
    auto anota = [](std::string& lista, const char* b) { lista += (lista.empty() ? "" : " ") + std::string(b); };
    if (unread_set_) anota(unread_ ? menos : mas, "\\Seen");
    if (flag_set_) anota(marcado_ ? mas : menos, "\\Flagged");
    if (mas.empty() && menos.empty()) {
      MarcaGuardado();
      return;
    }
    const std::uint32_t uid = UidResuelto();
    if (uid == 0) FallaBorrado(kNoGuardar);
    const std::uint64_t noop = ctx_->SeleccionaAlDia(carpeta_->Buzon());
    // The flags asked for after the change tell whether the message is still there (a STORE
    // that changes nothing is answered by no FETCH).
    Secuencia sec;
    std::vector<std::string> banderas;
    auto oyente = ctx_->Escucha([&](Respuesta& r) {
      if (r.nombre == "EXPUNGE" && r.numero) sec.Expunge(*r.numero);
      if (r.nombre != "FETCH") return;
      Fetch f = AnalizaFetch(std::move(r));
      if (f.uid != uid || !f.flags) return;
      sec.Aprende(f.numero);
      banderas = std::move(*f.flags);
    });
    auto& s = ctx_->Sesion();
    const std::string n = std::to_string(uid);
    std::uint64_t pon = 0, quita = 0;
    if (!mas.empty()) pon = s.Envia(Comando{"UID STORE " + n + " +FLAGS.SILENT (" + mas + ")", {}});
    if (!menos.empty()) quita = s.Envia(Comando{"UID STORE " + n + " -FLAGS.SILENT (" + menos + ")", {}});
    const std::uint64_t mira = s.Envia(Comando{"UID FETCH " + n + " (FLAGS)", {}});
    if (pon) Exige(s.Espera(pon), "UID STORE");
    if (quita) Exige(s.Espera(quita), "UID STORE");
    Exige(s.Espera(mira), "UID FETCH");
    if (noop) s.Espera(noop);
    if (!sec.Vivo()) FallaBorrado(kNoGuardar);
    MarcaGuardado();
    FijaBanderasLeidas(std::move(banderas));
    return;
  }
  // A changed item: the new message first; the old one goes once it is in, with the old
  // messages of the other items replaced meanwhile (ContextoImap::CompletaReemplazos).
  Body();
  const auto actuales = BanderasActuales();
  if (!actuales) FallaBorrado(kNoGuardar);
  ContextoImap::Reemplazo r;
  r.buzon = carpeta_->Buzon();
  r.viejo = uid_;
  r.nuevas = BanderasParaEscribir(*actuales);
  r.fija_marca = flag_set_;
  AppendEn(*carpeta_, r.nuevas);
  r.serie = serie_append_;
  ctx_->AnotaReemplazo(std::move(r));
  MarcaGuardado();
}

void ItemImap::Delete() {
  ctx_->CompletaReemplazos();
  if (pendiente_) {
    ctx_->OlvidaPendiente(this);
    pendiente_ = false;
  } else if (carpeta_) {
    if (const std::uint32_t uid = UidResuelto(); uid != 0) Expunge(uid);
  }
  carpeta_.reset();
  uid_ = 0;
}

std::shared_ptr<Item> ItemImap::Move(Folder& dest) {
  auto* d = dynamic_cast<CarpetaImap*>(&dest);
  if (!d) throw Error(errnum::kArgumentoNoValido, Traduce("La carpeta de destino es de otro almacén"));
  auto yo = shared_from_this();
  ctx_->CompletaReemplazos();
  if (!carpeta_) {
    // Never saved: straight into its folder.
    AppendEn(*d, BanderasParaEscribir({}));
    MarcaGuardado();
    return yo;
  }
  if (pendiente_) {
    ctx_->OlvidaPendiente(this);
    pendiente_ = false;
    carpeta_.reset();
    AppendEn(*d, BanderasParaEscribir({}));
    return yo;
  }
  if (carpeta_->Buzon() == d->Buzon()) return yo;
  if (tocado_ || cuerpo_cambiado_ || unread_set_ || flag_set_) Save();
  const std::uint32_t uid = UidResuelto();
  if (uid == 0) FallaBorrado(kNoMover);
  d->Crea();
  const std::uint64_t noop = ctx_->SeleccionaAlDia(carpeta_->Buzon());
  auto& s = ctx_->Sesion();
  std::uint32_t nuevo = 0;
  auto lee_copyuid = [&](const std::optional<Codigo>& c) {
    if (!c || c->nombre != "COPYUID") return;
    const auto u = c->argumentos.rfind(' ');
    if (u != std::string::npos) nuevo = AnalizaNzNumero(std::string_view(c->argumentos).substr(u + 1)).value_or(0);
  };
  bool expunged = false;
  const std::string n = std::to_string(uid);
  if (s.Tiene("MOVE")) {
    auto oyente = ctx_->Escucha([&](Respuesta& r) {
      if (r.nombre == "OK") lee_copyuid(r.codigo);
      if (r.nombre == "EXPUNGE" || r.nombre == "VANISHED") expunged = true;
    });
    const Completado c = s.Ejecuta("UID MOVE " + n + " " + EscribeCadena(d->Buzon()));
    lee_copyuid(c.codigo);
    if (nuevo == 0 && !expunged) FallaBorrado(kNoMover);
  } else {
    const Completado c = s.Ejecuta("UID COPY " + n + " " + EscribeCadena(d->Buzon()));
    lee_copyuid(c.codigo);
    if (nuevo == 0) FallaBorrado(kNoMover);
    Expunge(uid);
  }
  if (noop) s.Espera(noop);
  carpeta_ = std::static_pointer_cast<CarpetaImap>(d->shared_from_this());
  uid_ = nuevo;  // 0: looked up by Message-ID when needed
  return yo;
}

void ItemImap::SueltaCampos() {
  if (!carpeta_ || pendiente_ || tocado_ || cuerpo_cambiado_) return;
  // (An APPEND in flight is fine: the fields are fetched by UID once it completes.)
  body_.reset();
  cuerpo_cargado_ = false;
  // A flagged item keeps its header fields: a pass reads them again to fetch its text.
  if (!reg_ || marcado_) return;
  clase_ = reg_->reg.clase;
  completada_ = reg_->reg.completada;
  if (uid_ == 0) id_suelto_ = reg_->reg.message_id;  // to find it by when the server names no UID
  reg_.reset();
}

void ItemImap::EscribeBorrador() {
  if (!pendiente_) return;
  ctx_->OlvidaPendiente(this);
  pendiente_ = false;
  auto borradores = std::move(carpeta_);
  AppendEn(*borradores, BanderasParaEscribir({}));
}

std::shared_ptr<Item> ItemImap::NuevaRespuesta(std::string in_reply_to, std::string references) const {
  auto r = std::make_shared<ItemImap>(ctx_);
  r->reg_->reg.in_reply_to = std::move(in_reply_to);
  r->reg_->reg.references = std::move(references);
  return r;
}

}  // namespace tablon::store::imap
