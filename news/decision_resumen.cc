#include "news/decision_resumen.h"

#include <algorithm>

#include "core/traduce.h"

namespace tablon {

namespace {
// The first kept article numbered `n` or above.
ArticulosNumerados::const_iterator Desde(const ArticulosNumerados& a, std::int64_t n) {
  return std::lower_bound(a.begin(), a.end(), n, [](const auto& p, std::int64_t x) { return p.first < x; });
}
}  // namespace

std::optional<std::string> MotivoResumenEntero(bool lectura_completa, const std::optional<CabeceraNumeracion>& cabecera,
                                               std::string_view motivo_lectura) {
  if (lectura_completa) return Traduce("lectura completa pedida");
  if (!cabecera) return std::string(motivo_lectura);
  return std::nullopt;
}

std::int64_t PrimeroPedido(const std::optional<CabeceraNumeracion>& cabecera) {
  return cabecera ? cabecera->ultimo + 1 : 0;
}

DecisionSellada SinCambios(const CabeceraNumeracion& c, const MarcasGrupo& ahora, bool leidos, bool hay_lineas) {
  DecisionSellada d;
  d.sin_cambios = leidos && !hay_lineas && ahora.primero == c.primero && ahora.ultimo == c.ultimo &&
                  ahora.cantidad == c.cantidad;
  if (d.sin_cambios && c.numero_alto > 0) d.comprobar = ArticuloGuardado{c.numero_alto, c.huella_alta};
  return d;
}

ExamenNumeracion ExaminaNumeracion(const NumeracionGrupo& previa, const MarcasGrupo& ahora, const ArticulosNumerados& nuevos) {
  ExamenNumeracion e;
  const ArticulosNumerados& a = previa.articulos;
  // Renumbered, or rebuilt: the numbers the pass kept name other articles now, or none.
  if (ahora.ultimo < previa.ultimo) {
    e.motivo = Formatea(Traduce("la marca alta bajó de %s a %s"), {std::to_string(previa.ultimo), std::to_string(ahora.ultimo)});
    return e;
  }
  if (ahora.primero > previa.ultimo && !a.empty()) {
    e.motivo = Formatea(Traduce("la marca baja %s pasó la alta guardada %s"), {std::to_string(ahora.primero), std::to_string(previa.ultimo)});
    return e;
  }
  // A line at or below the kept high mark (an overview asked for before the numbering was read)
  // must be one the numbering has.
  for (const auto& [num, huella] : nuevos) {
    if (num > previa.ultimo || num < ahora.primero) continue;
    const auto k = Desde(a, num);
    if (k == a.end() || k->first != num || k->second != huella) {
      e.motivo = Formatea(Traduce("el servidor da el artículo %s por debajo de la marca guardada"), {std::to_string(num)});
      return e;
    }
  }
  // Expired: below the low mark.
  const auto bajo = Desde(a, ahora.primero);
  e.caducados = bajo - a.begin();
  // The last kept article still has its identifier on the server.
  for (auto it = a.rbegin(); it != std::make_reverse_iterator(bajo); ++it) {
    if (it->second == 0) continue;
    e.comprobar = ArticuloGuardado{it->first, it->second};
    break;
  }
  // The count moved otherwise than the new and the expired articles explain: the numbers the
  // server has below the kept high mark.
  std::int64_t en_rango = 0;
  for (const auto& [num, id] : nuevos) en_rango += num > previa.ultimo && num <= ahora.ultimo;
  if (ahora.cantidad - previa.cantidad != en_rango - e.caducados && bajo != a.end()) {
    e.lista = true;
    e.lista_desde = std::max(ahora.primero, bajo->first);
    e.lista_hasta = previa.ultimo;
  }
  return e;
}

std::string MotivoArticulo(const ArticuloGuardado& a, bool respondio, const std::optional<std::string>& id) {
  if (!respondio) return Formatea(Traduce("no se pudo comprobar el artículo %s"), {std::to_string(a.numero)});
  if (!id) return Formatea(Traduce("el artículo %s ya no está"), {std::to_string(a.numero)});
  if (HuellaIdentificador(*id) != a.huella) return Formatea(Traduce("el artículo %s es ahora otro, %s"), {std::to_string(a.numero), *id});
  return std::string();
}

ConciliacionListado ConciliaListado(const ArticulosNumerados& articulos, std::vector<std::int64_t> numeros) {
  ConciliacionListado c;
  std::sort(numeros.begin(), numeros.end());
  size_t k = 0;
  for (const std::int64_t n : numeros) {
    while (k < articulos.size() && articulos[k].first < n) ++k;
    if (k == articulos.size() || articulos[k].first != n) {
      c.motivo = Formatea(Traduce("el servidor lista el artículo %s, que la numeración no tenía"), {std::to_string(n)});
      c.quedan.clear();
      return c;
    }
    c.quedan.push_back(articulos[k++]);
  }
  return c;
}

std::vector<std::int64_t> ArticulosAusentes(const ArticulosNumerados& articulos, const std::vector<std::uint64_t>& presentes) {
  std::vector<std::int64_t> faltan;
  for (const auto& [num, huella] : articulos) {
    if (huella != 0 && !std::binary_search(presentes.begin(), presentes.end(), huella)) faltan.push_back(num);
  }
  return faltan;
}

ArticulosNumerados ArticulosListados(ArticulosNumerados articulos, std::int64_t desde, std::int64_t hasta,
                                     const ArticulosNumerados& releidos) {
  ArticulosNumerados quedan;
  size_t k = 0;
  for (auto& p : articulos) {
    if (p.first < desde || p.first > hasta) {
      quedan.push_back(std::move(p));
      continue;
    }
    // `releidos` is walked once, alongside: the server lists the overview's lines rising.
    while (k < releidos.size() && releidos[k].first < p.first) ++k;
    if (k < releidos.size() && releidos[k].first == p.first) quedan.push_back(std::move(p));
  }
  return quedan;
}

NumeracionGrupo NumeracionNueva(std::optional<NumeracionGrupo> previa, const std::string& grupo, const MarcasGrupo& ahora,
                                ArticulosNumerados vistos) {
  NumeracionGrupo nueva;
  if (previa) nueva = std::move(*previa);
  nueva.grupo = grupo;
  nueva.primero = ahora.primero;
  nueva.ultimo = std::max(ahora.ultimo, nueva.ultimo);
  nueva.cantidad = ahora.cantidad;
  std::sort(vistos.begin(), vistos.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  for (auto& v : vistos) {
    if (v.first > nueva.ultimo || v.first < ahora.primero) continue;
    if (!nueva.articulos.empty() && v.first <= nueva.articulos.back().first) continue;  // listed twice
    nueva.articulos.push_back(std::move(v));
  }
  return nueva;
}

}  // namespace tablon
