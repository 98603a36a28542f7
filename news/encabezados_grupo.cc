// GrupoNews's overview and numbering reconciliation: the overview asked for (ahead, and at its
// turn), its lines turned into messages, and the numbering kept from the last pass checked
// against the server's numbers (what it decides is news/decision_resumen.h), used and written
// anew. The header, news/grupo_news.h, says what each member does.
#include "news/grupo_news.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "core/error.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "news/decision_resumen.h"
#include "news/servidor_news.h"
#include "text/cadena.h"

namespace tablon {

// ---- Overview lines --------------------------------------------------------------------------

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
  if (t.empty() || !digito) throw Error(errnum::kTipoNoCoincide, Formatea(Traduce("No coinciden los tipos: «%s» no es un número"), {text}));
  std::string s(t);
  char* end = nullptr;
  double v = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || !std::isfinite(v)) {
    throw Error(errnum::kTipoNoCoincide, Formatea(Traduce("No coinciden los tipos: «%s» no es un número"), {text}));
  }
  double r = std::nearbyint(v);  // half to even under the default rounding mode
  if (r < -2147483648.0 || r > 2147483647.0) throw Error(errnum::kDesbordamiento, Formatea(Traduce("Desbordamiento: %s"), {text}));
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
  // A date that cannot be read leaves the one the message had, told to the trace so that it is
  // not lost unseen.
  if (const auto fecha = LeeFechaZonaRfc5322(c.f[3])) {
    m.fecha(fecha->fecha, fecha->zona);
  } else {
    NotificaFalloOmitido(Error(errnum::kArgumentoNoValido,
                               Formatea(Traduce("No se puede leer la fecha «%s» del artículo %s: queda la que tenía"),
                                        {c.f[3], c.f[4]})));
  }
}

void LlenaDesdeCampos(const CamposResumen& c, MessageNews& m) {
  LlenaClaveYNumeros(c, m);
  LlenaTextos(c, m);
}
}  // namespace

void GrupoNews::LeeLineaResumen(std::string_view line, MessageNews& m) {
  LlenaDesdeCampos(CamposResumen(line), m);
}

// ---- The numbering kept and the overview asked for -------------------------------------------

void GrupoNews::CargaNumeracion() {
  if (numeracion_cargada_) return;
  numeracion_cargada_ = true;
  cabecera_.reset();
  ruta_numeracion_.clear();
  if (!control_ || control_->Host().empty() || DirectorioServidores().empty()) return;
  ruta_numeracion_ = ArchivoNumeracion(DirectorioServidores() + control_->Host() + ".numeracion/", nombre_);
  std::string motivo;
  // A full reading sets the head aside: it is not read.
  if (!LecturaCompleta()) cabecera_ = LeeCabeceraNumeracion(*FsDelPrograma(), ruta_numeracion_, nombre_, motivo);
  if (const auto entero = MotivoResumenEntero(LecturaCompleta(), cabecera_, motivo)) {
    cabecera_.reset();
    Traza(Formatea(Traduce("numeración de %s: %s; se pide el resumen entero"), {nombre_, *entero}));
  }
}

void GrupoNews::AnticipaEncabezados() {
  nntp::Control* control = control_.get();
  if (!control) return;
  CargaNumeracion();
  control->GroupName(nombre_);
  control->RangoResumen(PrimeroPedido(cabecera_));
  control->AnticipaResumen();
}

void GrupoNews::AnticipaTrasGruposNuevos() {
  nntp::Control* control = control_.get();
  if (!control) return;
  CargaNumeracion();
  control->RangoResumen(PrimeroPedido(cabecera_));
  control->ResumenTrasGruposNuevos(nombre_);
}


bool GrupoNews::PideResumen(nntp::Control& control, const std::function<bool(std::int64_t, std::string_view)>& conserva,
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

std::string GrupoNews::CompruebaNumeracion(nntp::Control& control, NumeracionGrupo& previa,
                                           const std::vector<std::pair<std::int64_t, std::uint64_t>>& nuevos) {
  const MarcasGrupo ahora{control.PrimerArticulo(), control.UltimoArticulo(), control.CantidadArticulos()};
  const ExamenNumeracion examen = ExaminaNumeracion(previa, ahora, nuevos);
  if (!examen.motivo.empty()) return examen.motivo;
  auto& a = previa.articulos;
  a.erase(a.begin(), a.begin() + examen.caducados);
  if (examen.comprobar) {
    std::optional<std::string> id;
    const bool respondio = Paso([&] { id = control.IdentificadorDe(examen.comprobar->numero); });
    const std::string motivo = MotivoArticulo(*examen.comprobar, respondio, id);
    if (!motivo.empty()) return motivo;
  }
  if (examen.lista) {
    std::vector<std::int64_t> numeros;
    if (!Paso([&] { numeros = control.NumerosDelGrupo(examen.lista_desde, examen.lista_hasta); })) {
      return Traduce("no se pudo pedir la lista de artículos");
    }
    ConciliacionListado listado = ConciliaListado(a, std::move(numeros));
    if (!listado.motivo.empty()) return listado.motivo;
    Traza(Formatea(Traduce("numeración de %s: %s artículos retirados del servidor"),
                   {nombre_, std::to_string(a.size() - listado.quedan.size())}));
    a = std::move(listado.quedan);
  }
  return std::string();
}

void GrupoNews::LeeEncabezados() {
  nntp::Control* control = control_.get();
  if (!control) return;
  CargaNumeracion();
  Paso([&] { control->GroupName(nombre_); });
  const std::optional<CabeceraNumeracion> cabecera = std::move(cabecera_);
  cabecera_.reset();
  vinculo_.clear();
  ids_numeracion_.clear();
  control->RangoResumen(PrimeroPedido(cabecera));
  const bool seleccionado = Paso([&] { control->SelectGroup(); });
  const MarcasGrupo marcas{control->PrimerArticulo(), control->UltimoArticulo(), control->CantidadArticulos()};
  // Every line's number and identifier, for the numbering kept for the next pass.
  std::vector<std::pair<std::int64_t, std::uint64_t>> vistos;
  bool completo = PideResumen(*control, nullptr, vistos);
  bool numeracion_valida = seleccionado && completo;
  if (copias_diferidas_) {
    // The folder is as a complete pass left it for this numbering: nothing to do when the
    // server's marks are those kept, nothing came above them, and the kept top article is
    // still the server's.
    const DecisionSellada sellada = SinCambios(*cabecera, marcas, numeracion_valida, !vistos.empty());
    bool igual = sellada.sin_cambios;
    if (igual && sellada.comprobar) {
      std::optional<std::string> id;
      const bool respondio = Paso([&] { id = control->IdentificadorDe(sellada.comprobar->numero); });
      igual = MotivoArticulo(*sellada.comprobar, respondio, id).empty();
    }
    if (igual) {
      Traza(Formatea(Traduce("grupo %s sin cambios desde la última pasada: no se lee la carpeta"), {nombre_}));
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
    if (!previa) motivo = Formatea(Traduce("numeración ilegible: %s"), {motivo});
    const std::string razon = previa ? CompruebaNumeracion(*control, *previa, vistos) : motivo;
    if (!razon.empty()) {
      // It no longer holds: dropped, and the whole overview asked for.
      descartada = true;
      Traza(Formatea(Traduce("numeración de %s descartada: %s; se pide el resumen entero"), {nombre_, razon}));
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
    const std::vector<std::int64_t> faltan = ArticulosAusentes(previa->articulos, presentes);
    std::vector<std::uint64_t>().swap(presentes);
    if (!faltan.empty()) {
      Traza(Formatea(Traduce("numeración de %s: se piden de nuevo %s artículos que no están en la carpeta"),
                     {nombre_, std::to_string(faltan.size())}));
      std::vector<std::pair<std::int64_t, std::uint64_t>> releidos;
      control->RangoResumen(faltan.front(), faltan.back());
      const bool bien = PideResumen(*control, [&faltan](std::int64_t num, std::string_view) {
        return std::binary_search(faltan.begin(), faltan.end(), num);
      }, releidos);
      if (bien) {
        AgregaLineas(control->OverviewCount(), [control](std::int64_t i) { return control->OverviewLine(i); });
        // The kept articles of that range that the server did not list are gone (cancelled).
        previa->articulos = ArticulosListados(std::move(previa->articulos), faltan.front(), faltan.back(), releidos);
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
  const NumeracionGrupo nueva = NumeracionNueva(std::move(previa), nombre_, marcas, std::move(vistos));
  CabeceraNumeracion escrita = CabeceraDe(nueva);
  // Unchanged: not written again.
  const bool guardada = (cabecera && !descartada && escrita == *cabecera) ||
                        Paso([&] { escrita = GuardaNumeracion(*FsDelPrograma(), ruta_numeracion_, nueva); }, no_escritos_);
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

}  // namespace tablon
