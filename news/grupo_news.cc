#include "news/grupo_news.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/error.h"
#include "core/huella.h"
#include "core/paso.h"
#include "news/archivo_estado.h"
#include "news/avance.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"
#include "text/cadena.h"

namespace tablon {

namespace {
bool& LecturaCompletaPedida() {
  static bool v = false;
  return v;
}
}  // namespace

void FijaLecturaCompleta(bool v) { LecturaCompletaPedida() = v; }
bool LecturaCompleta() { return LecturaCompletaPedida(); }

namespace {
constexpr const char* kClaseEntrada = "IPM.Post.News.Subscripcion";
// The NNTP status of an article the server does not have (RFC 3977 section 6.2.1).
constexpr long kNoExisteArticulo = 430;
}

GrupoNews::GrupoNews() : mensajes_(std::make_shared<ColeccionMensajes>()) {}

void GrupoNews::mensajes(std::shared_ptr<ColeccionMensajes> v) {
  if (!v) throw Error(errnum::kTipoNoCoincide, "No coinciden los tipos: se esperaba una colección de mensajes");
  mensajes_ = std::move(v);
}

void GrupoNews::Subscrito(bool v) {
  subscrito_ = v;
  ActualizaCarpetaGrupo();
}

void GrupoNews::Nombre(std::string v) {
  nombre_ = std::move(v);
  ActualizaCarpetaGrupo();
}

// ---- Folder chain ----------------------------------------------------------------------------

void GrupoNews::ActualizaCarpetaGrupo() {
  // A record read without the store (the subscription commands) has no server folder and
  // resolves nothing.
  if (!subscrito_ || !carpeta_servidor_) return;
  std::string ruta = Nombre();  // a copy: the walk consumes it
  carpeta_grupo_ = BuscaOCreaRuta(carpeta_servidor_, ruta);
}

std::shared_ptr<store::Folder> GrupoNews::BuscaOCreaRuta(const std::shared_ptr<store::Folder>& carpeta,
                                                         std::string& ruta) {
  std::shared_ptr<store::Folder> cur = carpeta;
  std::string componente;
  while (!ruta.empty()) {
    SeparaCadena(ruta, ".", componente, ruta);
    if (!cur) throw Error(errnum::kObjetoNoEncontrado, "El grupo no tiene carpeta de servidor");
    cur = BuscaOCreaCarpeta(*cur, componente);
  }
  return cur;
}

// ---- Entry post ------------------------------------------------------------------------------

void GrupoNews::CreaEntradaGrupo() {
  if (!carpeta_servidor_) throw Error(errnum::kObjetoNoEncontrado, "El grupo " + nombre_ + " no tiene carpeta de servidor");
  std::string filtro = "[Asunto] = \"";
  // A double quote inside the filter text is written twice.
  for (char c : nombre_) {
    filtro += c;
    if (c == '"') filtro += '"';
  }
  filtro += '"';
  std::shared_ptr<store::Item> entrada = carpeta_servidor_->Find(filtro);
  if (entrada) {
    store::ComoPost(entrada);
    return;
  }
  entrada = OutlookApp->CreateItem(0);
  entrada->SetSubject(nombre_);
  entrada->SetMessageClass(kClaseEntrada);
  entrada->Close(0);
  entrada->Move(*carpeta_servidor_);
  entrada->SetUnRead(true);
  entrada->Save();
}

// ---- State-file line -------------------------------------------------------------------------

void GrupoNews::save(EscritorEstado& file) const {
  std::string line = nombre_;
  line += ' ';
  line += FormatoEstado(fecha_ultimo_);
  line += ' ';
  if (subscrito_) line += 'X';
  file.EscribeLinea(line);
}

void GrupoNews::load(LectorEstado& file) {
  std::optional<std::string> line = file.LeeLinea();
  if (!line) throw Error(errnum::kArchivoNoEncontrado, "El archivo de estado termina antes de lo anunciado");
  std::string resto, campo_fecha, marca;
  SeparaCadena(*line, " ", nombre_, resto);
  SeparaCadena(resto, " ", campo_fecha, marca);
  if (campo_fecha.empty()) {
    fecha_ultimo_ = kFechaInicial;
  } else {
    std::optional<Fecha> f = LeeFormatoEstado(campo_fecha);
    if (!f) throw Error(errnum::kTipoNoCoincide, "Fecha no válida en el archivo de estado: " + campo_fecha);
    fecha_ultimo_ = *f;
  }
  subscrito_ = marca == "X";
  ActualizaCarpetaGrupo();
}

// ---- Local copies and header retrieval -------------------------------------------------------

std::string GrupoNews::ClaveLocal(const std::shared_ptr<store::Item>& item) {
  try {
    store::ComoNota(item);
  } catch (const std::exception&) {
    return std::string();  // not an article item (LeeCopiasLocales tells it)
  }
  MessageNews m;
  Paso([&] { m.OutlookMsg(item); });
  // The message keeps what it needs (its identifier); the item's fields are read again if
  // ever used (the subject, when a new article answers this one).
  m.SueltaCampos();
  return m.id;
}

void GrupoNews::LeeCopiasLocales() {
  copias_diferidas_ = false;
  sin_cambios_ = false;
  Paso([&] {
    RequiereCarpeta();
    indice_ = carpeta_grupo_->Indice();
  });
  // A folder sealed by a pass that left it complete for the numbering kept now (and nothing
  // flagged waiting for its text), and that holds the very files it held then, is not read
  // unless the server has something new (LeeEncabezados decides).
  if (indice_ && cabecera_ && !LecturaCompleta()) {
    const auto sello = indice_->LeeSello();
    if (sello && *sello == cabecera_->Vinculo()) {
      copias_diferidas_ = true;
      return;
    }
    Traza("copias locales de " + nombre_ + ": la carpeta cambió desde la última pasada o no tiene sello");
  }
  CargaCopiasLocales();
}

void GrupoNews::CargaCopiasLocales() {
  copias_diferidas_ = false;
  std::vector<store::ItemIndexado> items;
  Paso([&] {
    RequiereCarpeta();
    if (!indice_) indice_ = carpeta_grupo_->Indice();
    std::string informe;
    items = indice_->Lee(&GrupoNews::ClaveLocal, !LecturaCompleta(), informe);
    if (!informe.empty()) Traza("copias locales de " + nombre_ + ": " + informe);
  });
  mensajes_->reserve(items.size());
  for (auto& x : items) {
    bool es_nota = Paso([&] { store::ComoNota(x.item); });
    if (!es_nota) continue;  // not an article item: passed over
    // An item without an identifier cannot be recognised against the server's lines: it is
    // kept in the store but joins no key.
    if (x.clave.empty()) continue;
    auto m = std::make_shared<MessageNews>();
    m->id = std::move(x.clave);
    m->AdoptaItem(std::move(x.item));
    Paso([&] { mensajes_->Add(m, m->id); });
  }
}

std::int32_t EnteroDeTexto(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
  while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
  std::string_view t = text.substr(b, e - b);
  bool digito = false;
  for (size_t i = 0; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') {
      digito = true;
    } else if (!((c == '+' || c == '-') && (i == 0 || t[i - 1] == 'e' || t[i - 1] == 'E')) && c != '.' &&
               c != 'e' && c != 'E') {
      digito = false;
      break;
    }
  }
  if (t.empty() || !digito) throw Error(errnum::kTipoNoCoincide, "No coinciden los tipos: «" + std::string(text) + "» no es un número");
  std::string s(t);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) {
    throw Error(errnum::kTipoNoCoincide, "No coinciden los tipos: «" + std::string(text) + "» no es un número");
  }
  double r = std::nearbyint(v);  // half to even under the default rounding mode
  if (r < -2147483648.0 || r > 2147483647.0) throw Error(errnum::kDesbordamiento, "Desbordamiento: " + std::string(text));
  return static_cast<std::int32_t>(r);
}

namespace {
// The eight TAB-separated fields of an overview line as LeeLineaResumen takes them.
struct CamposResumen {
  std::string_view f[8];
  explicit CamposResumen(std::string_view line) {
    std::string_view resto = line;
    for (auto& campo : f) SeparaCadena(resto, "\t", campo, resto);
  }
};

// Field `k` (from 0) of an overview line, without splitting the fields after it.
std::string_view CampoResumen(std::string_view line, int k) {
  std::string_view campo, resto = line;
  for (int i = 0; i <= k; ++i) SeparaCadena(resto, "\t", campo, resto);
  return campo;
}

// A message's identifier and numbers, which it keeps for the whole pass.
void LlenaClaveYNumeros(const CamposResumen& c, MessageNews& m) {
  Paso([&] { m.msgnum = EnteroDeTexto(c.f[0]); });
  m.id.assign(c.f[4]);
  Paso([&] { m.bytes = EnteroDeTexto(c.f[6]); });
  Paso([&] { m.lineas = EnteroDeTexto(c.f[7]); });
}

// Its texts, let go once its item is written (MessageNews::SueltaCampos), and its date.
void LlenaTextos(const CamposResumen& c, MessageNews& m) {
  m.subject.assign(c.f[1]);
  m.Autor.assign(c.f[2]);
  m.referencias.assign(c.f[5]);
  if (const auto fecha = LeeFechaRfc5322(c.f[3])) m.fecha(*fecha);
}

bool EsBlancoDeLista(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The identifiers of a references text, split at any white space (folded lines included).
std::vector<std::string_view> Identificadores(std::string_view referencias) {
  std::vector<std::string_view> r;
  size_t i = 0;
  while (i < referencias.size()) {
    while (i < referencias.size() && EsBlancoDeLista(referencias[i])) ++i;
    size_t fin = i;
    while (fin < referencias.size() && !EsBlancoDeLista(referencias[fin])) ++fin;
    if (fin > i) r.push_back(referencias.substr(i, fin - i));
    i = fin;
  }
  return r;
}

void LlenaDesdeCampos(const CamposResumen& c, MessageNews& m) {
  LlenaClaveYNumeros(c, m);
  LlenaTextos(c, m);
}
}  // namespace

void GrupoNews::LeeLineaResumen(std::string_view line, MessageNews& m) {
  LlenaDesdeCampos(CamposResumen(line), m);
}


void GrupoNews::Traza(const std::string& texto) const {
  if (control_ && control_->Debug) control_->Debug("tablon: " + texto + "\r\n");
}

void GrupoNews::CargaNumeracion() {
  if (numeracion_cargada_) return;
  numeracion_cargada_ = true;
  cabecera_.reset();
  ruta_numeracion_.clear();
  if (!control_ || control_->Host().empty() || DirectorioServidores().empty()) return;
  ruta_numeracion_ = ArchivoNumeracion(DirectorioServidores() + control_->Host() + ".numeracion/", nombre_);
  std::string motivo;
  if (LecturaCompleta()) {
    motivo = "lectura completa pedida";
  } else {
    cabecera_ = LeeCabeceraNumeracion(*FsDelPrograma(), ruta_numeracion_, nombre_, motivo);
  }
  if (!cabecera_) Traza("numeración de " + nombre_ + ": " + motivo + "; se pide el resumen entero");
}

void GrupoNews::AnticipaEncabezados() {
  nntp::News* control = control_.get();
  if (!control) return;
  CargaNumeracion();
  control->GroupName(nombre_);
  control->RangoResumen(cabecera_ ? cabecera_->ultimo + 1 : 0);
  control->AnticipaResumen();
}

void GrupoNews::AnticipaTrasGruposNuevos() {
  nntp::News* control = control_.get();
  if (!control) return;
  CargaNumeracion();
  control->RangoResumen(cabecera_ ? cabecera_->ultimo + 1 : 0);
  control->ResumenTrasGruposNuevos(nombre_);
}


bool GrupoNews::PideResumen(nntp::News& control, const std::function<bool(std::int64_t, std::string_view)>& conserva,
                            std::vector<std::pair<std::int64_t, std::uint64_t>>& vistos) {
  control.FiltraResumen([&](std::string_view line) {
    const std::string_view campo = CampoResumen(line, 0);
    std::int64_t num = 0;
    const auto [fin, ec] = std::from_chars(campo.data(), campo.data() + campo.size(), num);
    const bool con_numero = ec == std::errc() && fin == campo.data() + campo.size();
    const std::string_view id = CampoResumen(line, 4);
    if (con_numero) vistos.emplace_back(num, HuellaIdentificador(id));
    // The lines of articles already present are dropped as they arrive: a second pass over a
    // large group holds its local copies and hardly any of the overview at once.
    return !id.empty() && !mensajes_->Contiene(id) && (!conserva || (con_numero && conserva(num, id)));
  });
  const bool bien = Paso([&] { control.Command(nntp::kLeerEncabezados); });
  control.FiltraResumen(nullptr);
  return bien;
}

void GrupoNews::AgregaLineas(std::int64_t n, const std::function<std::string_view(std::int64_t)>& linea) {
  // The kept lines are the new articles: room for exactly them.
  mensajes_->reserve(mensajes_->size() + static_cast<size_t>(n));
  // Two walks over the lines. The first makes the messages with what they keep for the whole
  // pass; the second gives the new ones their texts, which are let go as their items are
  // written. Made apart, those texts leave one stretch of free memory behind them, which the
  // items made next fill, instead of small gaps between records that stay.
  std::vector<std::pair<std::int64_t, MessageNews*>> nuevos;
  nuevos.reserve(static_cast<size_t>(n));
  // A message that was not added (a line without identifier, or one already present) is
  // filled again from the next line instead of being made anew.
  std::shared_ptr<MessageNews> m;
  for (std::int64_t i = 0; i < n; ++i) {
    if (!m) {
      m = std::make_shared<MessageNews>();
    } else {
      m->msgnum = 0;
      m->bytes = 0;
      m->lineas = 0;
    }
    std::string_view line;
    if (!Paso([&] { line = linea(i); })) continue;
    const CamposResumen campos(line);
    // An article already present (a line repeating an earlier one: the local copies were
    // filtered out as the lines arrived) is refused whatever its other fields say: its line is
    // not read further.
    if (!campos.f[4].empty() && mensajes_->Contiene(campos.f[4])) continue;
    LlenaClaveYNumeros(campos, *m);
    // A line without an identifier cannot be recognised in a later pass: it adds no message.
    if (m->id.empty()) continue;
    const std::string_view clave = m->id;
    // Refused when the identifier is present: a local copy.
    if (mensajes_->Add(m, clave)) {
      nuevos.emplace_back(i, m.get());
      m.reset();
    }
  }
  for (const auto& nuevo : nuevos) {
    std::string_view line;
    if (Paso([&] { line = linea(nuevo.first); })) LlenaTextos(CamposResumen(line), *nuevo.second);
  }
}

std::string GrupoNews::CompruebaNumeracion(nntp::News& control, NumeracionGrupo& previa,
                                           const std::vector<std::pair<std::int64_t, std::uint64_t>>& nuevos) {
  const std::int64_t primero = control.PrimerArticulo();
  const std::int64_t ultimo = control.UltimoArticulo();
  const std::int64_t cantidad = control.CantidadArticulos();
  // Renumbered, or rebuilt: the numbers the pass kept name other articles now, or none.
  if (ultimo < previa.ultimo) return "la marca alta bajó de " + std::to_string(previa.ultimo) + " a " + std::to_string(ultimo);
  if (primero > previa.ultimo && !previa.articulos.empty()) {
    return "la marca baja " + std::to_string(primero) + " pasó la alta guardada " + std::to_string(previa.ultimo);
  }
  // Expired: below the low mark.
  auto& a = previa.articulos;
  // A line at or below the kept high mark (an overview asked for before the numbering was read)
  // must be one the numbering has.
  for (const auto& [num, huella] : nuevos) {
    if (num > previa.ultimo || num < primero) continue;
    const auto k = std::lower_bound(a.begin(), a.end(), num, [](const auto& p, std::int64_t n) { return p.first < n; });
    if (k == a.end() || k->first != num || k->second != huella) {
      return "el servidor da el artículo " + std::to_string(num) + " por debajo de la marca guardada";
    }
  }
  const auto bajo = std::lower_bound(a.begin(), a.end(), primero, [](const auto& p, std::int64_t n) { return p.first < n; });
  const std::int64_t caducados = bajo - a.begin();
  a.erase(a.begin(), bajo);
  // The last kept article still has its identifier on the server.
  for (auto it = a.rbegin(); it != a.rend(); ++it) {
    if (it->second == 0) continue;
    std::optional<std::string> id;
    if (!Paso([&] { id = control.IdentificadorDe(it->first); })) return "no se pudo comprobar el artículo " + std::to_string(it->first);
    if (!id) return "el artículo " + std::to_string(it->first) + " ya no está";
    if (HuellaIdentificador(*id) != it->second) return "el artículo " + std::to_string(it->first) + " es ahora otro, " + *id;
    break;
  }
  // The count moved otherwise than the new and the expired articles explain (a cancel on a
  // server whose count is exact): the numbers the server has below the kept high mark.
  std::int64_t en_rango = 0;
  for (const auto& [num, id] : nuevos) en_rango += num > previa.ultimo && num <= ultimo;
  if (cantidad - previa.cantidad != en_rango - caducados && !a.empty()) {
    std::vector<std::int64_t> numeros;
    if (!Paso([&] { numeros = control.NumerosDelGrupo(std::max(primero, a.front().first), previa.ultimo); })) {
      return "no se pudo pedir la lista de artículos";
    }
    std::sort(numeros.begin(), numeros.end());
    std::vector<std::pair<std::int64_t, std::uint64_t>> quedan;
    size_t k = 0;
    for (const std::int64_t n : numeros) {
      while (k < a.size() && a[k].first < n) ++k;
      if (k == a.size() || a[k].first != n) return "el servidor lista el artículo " + std::to_string(n) + ", que la numeración no tenía";
      quedan.push_back(std::move(a[k++]));
    }
    Traza("numeración de " + nombre_ + ": " + std::to_string(a.size() - quedan.size()) + " artículos retirados del servidor");
    a = std::move(quedan);
  }
  return std::string();
}

void GrupoNews::LeeEncabezados() {
  nntp::News* control = control_.get();
  if (!control) return;
  CargaNumeracion();
  Paso([&] { control->GroupName(nombre_); });
  const std::optional<CabeceraNumeracion> cabecera = std::move(cabecera_);
  cabecera_.reset();
  vinculo_.clear();
  ids_numeracion_.clear();
  control->RangoResumen(cabecera ? cabecera->ultimo + 1 : 0);
  const bool seleccionado = Paso([&] { control->SelectGroup(); });
  const std::int64_t primero = control->PrimerArticulo();
  const std::int64_t ultimo = control->UltimoArticulo();
  const std::int64_t cantidad = control->CantidadArticulos();
  // Every line's number and identifier, for the numbering kept for the next pass.
  std::vector<std::pair<std::int64_t, std::uint64_t>> vistos;
  bool completo = PideResumen(*control, nullptr, vistos);
  bool numeracion_valida = seleccionado && completo;
  if (copias_diferidas_) {
    // The folder is as a complete pass left it for this numbering: nothing to do when the
    // server's marks are those kept, nothing came above them, and the kept top article is
    // still the server's.
    bool igual = numeracion_valida && vistos.empty() && primero == cabecera->primero && ultimo == cabecera->ultimo &&
                 cantidad == cabecera->cantidad;
    if (igual && cabecera->numero_alto > 0) {
      std::optional<std::string> id;
      igual = Paso([&] { id = control->IdentificadorDe(cabecera->numero_alto); }) && id &&
              HuellaIdentificador(*id) == cabecera->huella_alta;
    }
    if (igual) {
      Traza("grupo " + nombre_ + " sin cambios desde la última pasada: no se lee la carpeta");
      sin_cambios_ = true;
      control->LiberaResumen();
      control->RangoResumen(0);
      return;
    }
    CargaCopiasLocales();
  }
  std::optional<NumeracionGrupo> previa;
  bool descartada = false;
  if (cabecera && numeracion_valida) {
    std::string motivo;
    previa = LeeNumeracion(*FsDelPrograma(), ruta_numeracion_, nombre_, motivo);
    if (!previa) motivo = "numeración ilegible: " + motivo;
    const std::string razon = previa ? CompruebaNumeracion(*control, *previa, vistos) : motivo;
    if (!razon.empty()) {
      descartada = true;
      Traza("numeración de " + nombre_ + " descartada: " + razon + "; se pide el resumen entero");
      previa.reset();
      control->LiberaResumen();
      vistos.clear();
      control->RangoResumen(0);
      completo = PideResumen(*control, nullptr, vistos);
      numeracion_valida = completo;
    }
  }
  if (!previa) {
    // The whole overview (as without any numbering), read from the control.
    AgregaLineas(control->OverviewCount(), [control](std::int64_t i) { return control->OverviewLine(i); });
    control->LiberaResumen();
  } else {
    // The lines above the kept high mark, kept aside while the lines of kept articles that the
    // store lacks are asked for: those come first, in the overview's order.
    std::vector<std::string> arriba;
    arriba.reserve(static_cast<size_t>(control->OverviewCount()));
    for (std::int64_t i = 0; i < control->OverviewCount(); ++i) arriba.emplace_back(control->OverviewLine(i));
    control->LiberaResumen();
    // The kept articles whose identifier no message has (by hash, as the numbering keeps them).
    std::vector<std::uint64_t> presentes;
    presentes.reserve(mensajes_->size());
    for (const auto& m : *mensajes_) presentes.push_back(HuellaIdentificador(m->id));
    std::sort(presentes.begin(), presentes.end());
    std::vector<std::int64_t> faltan;
    for (const auto& [num, huella] : previa->articulos) {
      if (huella != 0 && !std::binary_search(presentes.begin(), presentes.end(), huella)) faltan.push_back(num);
    }
    std::vector<std::uint64_t>().swap(presentes);
    if (!faltan.empty()) {
      Traza("numeración de " + nombre_ + ": se piden de nuevo " + std::to_string(faltan.size()) +
            " artículos que no están en la carpeta");
      std::vector<std::pair<std::int64_t, std::uint64_t>> releidos;
      control->RangoResumen(faltan.front(), faltan.back());
      const bool bien = PideResumen(*control, [&faltan](std::int64_t num, std::string_view) {
        return std::binary_search(faltan.begin(), faltan.end(), num);
      }, releidos);
      if (bien) {
        AgregaLineas(control->OverviewCount(), [control](std::int64_t i) { return control->OverviewLine(i); });
        // The kept articles of that range that the server did not list are gone (cancelled).
        auto& a = previa->articulos;
        std::vector<std::pair<std::int64_t, std::uint64_t>> quedan;
        size_t k = 0;
        for (auto& p : a) {
          if (p.first < faltan.front() || p.first > faltan.back()) {
            quedan.push_back(std::move(p));
            continue;
          }
          while (k < releidos.size() && releidos[k].first < p.first) ++k;
          if (k < releidos.size() && releidos[k].first == p.first) quedan.push_back(std::move(p));
        }
        a = std::move(quedan);
      }
      control->LiberaResumen();
    }
    AgregaLineas(static_cast<std::int64_t>(arriba.size()), [&arriba](std::int64_t i) {
      return std::string_view(arriba[static_cast<size_t>(i)]);
    });
  }
  control->RangoResumen(0);
  if (ruta_numeracion_.empty()) return;
  // The numbering for the next pass: what was kept and still holds, and every line read up to
  // the high mark of this pass's GROUP (a line above it may have come with an overview asked
  // for ahead; it is asked for again next time).
  if (!numeracion_valida) {
    // The kept numbering was found wrong and no whole overview replaced it: it goes. One that
    // could not be checked (the group or its overview failed) stays as it was.
    if (descartada) Paso([&] { BorraNumeracion(*FsDelPrograma(), ruta_numeracion_); });
    return;
  }
  NumeracionGrupo nueva;
  if (previa) nueva = std::move(*previa);
  nueva.grupo = nombre_;
  nueva.primero = primero;
  nueva.ultimo = std::max(ultimo, nueva.ultimo);
  nueva.cantidad = cantidad;
  std::sort(vistos.begin(), vistos.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (auto& v : vistos) {
    if (v.first > nueva.ultimo || v.first < primero) continue;
    if (!nueva.articulos.empty() && v.first <= nueva.articulos.back().first) continue;  // listed twice
    nueva.articulos.push_back(std::move(v));
  }
  CabeceraNumeracion escrita = CabeceraDe(nueva);
  // Unchanged: not written again.
  const bool guardada = (cabecera && !descartada && escrita == *cabecera) ||
                        Paso([&] { escrita = GuardaNumeracion(*FsDelPrograma(), ruta_numeracion_, nueva); });
  if (!guardada) return;
  // What the folder's seal will name (LeeMensajesMarcados): this numbering, and the articles
  // that must have an item for the seal to be made.
  vinculo_ = escrita.Vinculo();
  ids_numeracion_.reserve(nueva.articulos.size());
  for (const auto& [num, huella] : nueva.articulos) {
    if (huella != 0) ids_numeracion_.push_back(huella);
  }
  std::sort(ids_numeracion_.begin(), ids_numeracion_.end());
  ids_numeracion_.erase(std::unique(ids_numeracion_.begin(), ids_numeracion_.end()), ids_numeracion_.end());
}

// ---- Header items and flagged download -------------------------------------------------------

std::shared_ptr<MessageNews> GrupoNews::BuscaPadre(const MessageNews& m) const {
  if (auto q = mensajes_->Miembro(m.referencias)) return q;
  const auto ids = Identificadores(m.referencias);
  if (ids.empty()) return nullptr;
  return mensajes_->Miembro(ids.back());
}

std::shared_ptr<MessageNews> GrupoNews::CreaMarcadorDePadre(const MessageNews& m,
                                                            std::shared_ptr<store::Item>& padre) {
  const auto ids = Identificadores(m.referencias);
  std::shared_ptr<store::Item> abuelo;
  for (size_t k = ids.size() - 1; k-- > 0;) {
    if (const auto a = mensajes_->Miembro(ids[k])) {
      abuelo = a->OutlookMsg();
      break;
    }
  }
  auto q = std::make_shared<MessageNews>();
  q->subject = m.subject;
  q->id.assign(ids.back());
  q->Autor = kAutorDesconocido;
  // Its date is the one of the reply that made it (a mail client shows and sorts by it).
  q->fecha(m.fecha());
  Paso([&] { padre = q->CreateOutlookMsg(nombre_, abuelo); });
  Paso([&] {
    RequiereCarpeta();
    if (padre) padre->Move(*carpeta_grupo_);
  });
  Paso([&] { mensajes_->Add(q, q->id); });
  return q;
}

void GrupoNews::CreaMensajesGrupo() {
  Avance* avance = AvanceDelPrograma();
  // How many replies of this walk each message's item is to be the parent of: an item's fields
  // stay in memory until its last reply is written, and are let go (SueltaCampos) once none is left,
  // so that a large group neither fills the memory nor reads its parents back from disk.
  std::int64_t total = 0;
  for (size_t i = 0; i < mensajes_->size(); ++i) {
    const MessageNews& m = *(*mensajes_)[i];
    if (m.ExisteMensajeLocal()) continue;
    ++total;
    if (m.referencias.empty()) continue;
    if (const auto q = BuscaPadre(m)) ++q->respuestas_pendientes;
  }
  std::int64_t hecho = 0;
  if (total > 0 && avance) Paso([&] { avance->Progreso(Etapa::Escribiendo, 0, total); });
  // Walk by position: placeholders appended during the walk already have an item.
  for (size_t i = 0; i < mensajes_->size(); ++i) {
    const std::shared_ptr<MessageNews> m = (*mensajes_)[i];
    if (m->ExisteMensajeLocal()) continue;
    if (avance) Paso([&] { avance->Articulo(m->subject); });
    std::shared_ptr<store::Item> padre;
    std::shared_ptr<MessageNews> q;
    // References of blanks only name nothing: such an article stays a root, as one without.
    if (!m->referencias.empty() && !Identificadores(m->referencias).empty()) {
      q = BuscaPadre(*m);
      if (!q) {
        q = CreaMarcadorDePadre(*m, padre);
      } else {
        padre = q->OutlookMsg();
        // A reply takes the subject of the message it answers (its own, should that item be
        // gone from the store meanwhile).
        Paso([&] { m->subject = q->Asunto(); });
      }
    }
    std::shared_ptr<store::Item> e;
    const bool creado = Paso([&] { e = m->CreateOutlookMsg(nombre_, padre); });
    if (q && q->respuestas_pendientes > 0 && --q->respuestas_pendientes == 0) q->SueltaCampos();
    if (creado) {
      if (Paso([&] { RequiereCarpeta(); e->Move(*carpeta_grupo_); })) ++nuevos_;
      if (m->respuestas_pendientes == 0) m->SueltaCampos();
    }
    // A placeholder whose item could not be written is met by the walk as one more message.
    ++hecho;
    if (avance) Paso([&] { avance->Progreso(Etapa::Escribiendo, hecho, std::max(total, hecho)); });
  }
}

void GrupoNews::LeeMensajesMarcados() {
  if (sin_cambios_) {
    // The folder was sealed with nothing flagged waiting, and holds the same files: nothing to
    // fetch, and its index stands as it is.
    indice_.reset();
    return;
  }
  Avance* avance = AvanceDelPrograma();
  nntp::News* control = control_.get();
  std::vector<std::shared_ptr<store::Item>> items;
  if (!Paso([&] { RequiereCarpeta(); items = carpeta_grupo_->Items(); })) return;
  // The flagged header items first, so that the progress has its total.
  std::vector<std::shared_ptr<store::Item>> marcados;
  for (const auto& item : items) {
    if (!Paso([&] { store::ComoNota(item); })) continue;  // not an article item: passed over
    int marca = store::kSinMarca;
    std::string clase;
    Paso([&] { marca = item->FlagStatus(); });
    Paso([&] { clase = item->MessageClass(); });
    if (marca == store::kMarcado && clase == kClaseCabecera) marcados.push_back(item);
  }
  items.clear();
  const auto total = static_cast<std::int64_t>(marcados.size());
  std::int64_t hecho = 0;
  if (total > 0 && avance) Paso([&] { avance->Progreso(Etapa::Descargando, 0, total); });
  // Every identifier first: the articles are asked for together and come in this order.
  std::vector<std::string> claves(marcados.size());
  std::vector<bool> con_clave(marcados.size(), false);
  for (size_t i = 0; i < marcados.size(); ++i) {
    con_clave[i] = Paso([&] { claves[i] = marcados[i]->UserProperties().Item(kPropArticulo).ComoTexto(); });
  }
  // One item's turn, in order: its text (`texto`, when it came) or the failure's number.
  auto trata = [&](size_t i, const std::string* texto, long fallo) {
    const std::shared_ptr<store::Item>& item = marcados[i];
    if (avance) Paso([&] { avance->Articulo(item->Subject()); });
    ++hecho;
    // The server's status is the failure's number (nntp/news.h): 430, no such article.
    if (con_clave[i] && fallo == kNoExisteArticulo) {
      std::string nombre;
      Paso([&] { nombre = item->Subject(); });
      if (nombre.find_first_not_of(" \t") == std::string::npos) nombre = claves[i];
      no_disponibles_.push_back(std::move(nombre));
    }
    if (con_clave[i] && texto) {
      Paso([&] { item->SetBody(*texto); });
      Paso([&] { item->SetMessageClass(kClaseCompleto); });
      // Unread before the text is saved: a pass killed between the two leaves a flagged header
      // item that the next pass fetches again, never a downloaded item that looks already read.
      Paso([&] { item->SetUnRead(true); });
      if (Paso([&] { item->Save(); })) ++descargados_;
      Paso([&] { item->SetUnRead(true); });
      item->SueltaCampos();  // the article's text is in the store now, not needed in memory
    }
    // Otherwise the item stays a flagged header item; the next pass tries again.
    if (avance) Paso([&] { avance->Progreso(Etapa::Descargando, hecho, total); });
  };
  if (!control) {
    NotificaFalloOmitido(Error(errnum::kObjetoNoEncontrado, "El grupo " + nombre_ + " no tiene control de noticias"));
    for (size_t i = 0; i < marcados.size(); ++i) trata(i, nullptr, 0);
  } else {
    Paso([&] {
      control->FetchArticles(claves, [&](size_t i, const std::string& texto, const Error* fallo) {
        if (fallo) NotificaFalloOmitido(*fallo);
        trata(i, fallo ? nullptr : &texto, fallo ? fallo->Number() : 0);
      });
    });
  }
  marcados.clear();
  GuardaIndice();
}


void GrupoNews::GuardaIndice() {
  if (!indice_) return;
  // The keys of the objects the group's messages hold (those of the local copies and those this
  // pass wrote): the index need not read those items.
  std::vector<std::pair<const store::Item*, const std::string*>> claves;
  claves.reserve(mensajes_->size());
  for (const auto& m : *mensajes_) {
    if (m->OutlookMsg()) claves.emplace_back(m->OutlookMsg().get(), &m->id);
  }
  std::sort(claves.begin(), claves.end());
  auto clave_de = [&claves](const std::shared_ptr<store::Item>& item) {
    const store::Item* buscado = item.get();
    const auto k = std::lower_bound(claves.begin(), claves.end(), buscado,
                                    [](const auto& par, const store::Item* p) { return par.first < p; });
    return k != claves.end() && k->first == buscado ? *k->second : ClaveLocal(item);
  };
  // The seal: made only when every article of the numbering just kept has an item and no header
  // item waits for its text, so that a later pass that finds it (and the same numbering, and
  // nothing new on the server) has nothing to do in the folder.
  std::vector<bool> hallado(ids_numeracion_.size(), false);
  size_t hallados = 0;
  bool pendiente = false;
  store::IndiceCarpeta::Sellado sello;
  sello.registro = [&](const std::string& clave, int marca, const std::string& clase) {
    if (marca == store::kMarcado && IgualSinCaso(clase, kClaseCabecera)) pendiente = true;
    if (clave.empty()) return;
    const auto k = std::lower_bound(ids_numeracion_.begin(), ids_numeracion_.end(), HuellaIdentificador(clave));
    if (k == ids_numeracion_.end() || *k != HuellaIdentificador(clave)) return;
    const size_t n = static_cast<size_t>(k - ids_numeracion_.begin());
    if (!hallado[n]) {
      hallado[n] = true;
      ++hallados;
    }
  };
  sello.texto = [&] {
    return !vinculo_.empty() && !pendiente && hallados == ids_numeracion_.size() ? vinculo_ : std::string();
  };
  Paso([&] { indice_->Guarda(clave_de, &sello); });
  indice_.reset();
  std::vector<std::uint64_t>().swap(ids_numeracion_);
  vinculo_.clear();
}

void GrupoNews::RequiereCarpeta() const {
  if (!carpeta_grupo_) throw Error(errnum::kObjetoNoEncontrado, "El grupo " + nombre_ + " no tiene carpeta");
}

}  // namespace tablon
