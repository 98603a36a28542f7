// What a pass asks a server for in one group, and whether the numbering kept from the last pass
// (news/numeracion_grupo.h) still holds: the decisions of GrupoNews::LeeEncabezados
// (news/encabezados_grupo.cc), made of the numbers it is given alone. Each call is a pure
// function: it sends nothing, reads and writes no file, touches no store, and raises nothing
// (but std::bad_alloc). The reasons they answer are the trace's texts.
//
// A group's work goes through them in this order:
//   1. before the overview: MotivoResumenEntero (is the kept head used) and PrimeroPedido (the
//      overview asked for: above the kept high mark, or all of it);
//   2. with the GROUP reply and that overview, for a folder sealed for the kept head:
//      SinCambios (nothing to do, once STAT confirms the kept top article: MotivoArticulo);
//   3. otherwise, with the kept numbering read whole: ExaminaNumeracion (the reason it no longer
//      holds, or what must still be asked to tell: STAT of its top article, LISTGROUP of its
//      range), then MotivoArticulo and ConciliaListado with the answers; a reason drops the
//      numbering, and the whole overview is asked for;
//   4. while it holds: ArticulosAusentes (its articles that the folder lacks, asked for again) and
//      ArticulosListados (of those, the ones the server still lists);
//   5. at the end: NumeracionNueva, the numbering for the next pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "news/numeracion_grupo.h"

namespace tablon {

// Article number -> hash of its identifier (HuellaIdentificador), as NumeracionGrupo keeps them.
using ArticulosNumerados = std::vector<std::pair<std::int64_t, std::uint64_t>>;

// The group's numbers in the server's GROUP reply: low mark, high mark, count.
struct MarcasGrupo {
  std::int64_t primero = 0, ultimo = 0, cantidad = 0;
};

// An article of the kept numbering whose identifier the server must still give (STAT).
struct ArticuloGuardado {
  std::int64_t numero = 0;
  std::uint64_t huella = 0;
  bool operator==(const ArticuloGuardado&) const = default;
};

// ---- 1. Before the overview

// Why the pass asks for the whole overview instead of going by the kept head `cabecera` (as read;
// nullopt when none could be, for `motivo_lectura`): a full reading asked for sets the head
// aside (it need not be read then). Nullopt when the head is used.
std::optional<std::string> MotivoResumenEntero(bool lectura_completa, const std::optional<CabeceraNumeracion>& cabecera,
                                               std::string_view motivo_lectura);

// The first article number of the overview asked for first (nntp::Control::RangoResumen): the one
// above the kept high mark, or 0 (the whole overview) without a kept head.
std::int64_t PrimeroPedido(const std::optional<CabeceraNumeracion>& cabecera);

// ---- 2. A folder sealed for the kept head

struct DecisionSellada {
  bool sin_cambios = false;                   // nothing to do in the group...
  std::optional<ArticuloGuardado> comprobar;  // ...once STAT gives this article's identifier
};
// Whether the group is unchanged since the pass that sealed its folder for the kept head `c`:
// the GROUP and the overview above the kept high mark came (`leidos`), no line came
// (`hay_lineas` false), and the marks `ahora` are the kept ones; then the kept top article
// (when `c` names one) is to be checked.
DecisionSellada SinCambios(const CabeceraNumeracion& c, const MarcasGrupo& ahora, bool leidos, bool hay_lineas);

// ---- 3. Whether the kept numbering holds

struct ExamenNumeracion {
  std::string motivo;            // why the numbering no longer holds; "" while it may
  std::int64_t caducados = 0;    // its first articles, below the low mark now: they leave it
  std::optional<ArticuloGuardado> comprobar;  // the top article left with an identifier: STAT
  // The count moved otherwise than the new and the expired articles explain (a cancel on a
  // server whose count is exact): the server's article numbers from `lista_desde` to
  // `lista_hasta` (LISTGROUP) are to be compared with ConciliaListado, after the STAT.
  bool lista = false;
  std::int64_t lista_desde = 0, lista_hasta = 0;
};
// The kept numbering `previa` against the GROUP reply `ahora` and the numbers and identifiers'
// hashes of the lines the overview gave (`nuevos`; asked for above the kept high mark, though a
// line at or below it must be one the numbering has). No reason is given once the marks and
// lines agree: caducados, comprobar and lista say what is left to do.
ExamenNumeracion ExaminaNumeracion(const NumeracionGrupo& previa, const MarcasGrupo& ahora, const ArticulosNumerados& nuevos);

// The STAT answer for the kept article `a`: `respondio` false when asking failed, `id` nullopt
// when the server has no such article. Why the numbering no longer holds; "" when the server's
// identifier is the kept one.
std::string MotivoArticulo(const ArticuloGuardado& a, bool respondio, const std::optional<std::string>& id);

struct ConciliacionListado {
  std::string motivo;         // the server lists a number the numbering does not have; or ""
  ArticulosNumerados quedan;  // otherwise, the kept articles the server still lists
};
// The kept `articulos` (the expired ones left out) against the server's article numbers
// `numeros` (LISTGROUP, any order).
ConciliacionListado ConciliaListado(const ArticulosNumerados& articulos, std::vector<std::int64_t> numeros);

// ---- 4. While the kept numbering holds

// The kept articles with an identifier whose hash is not in `presentes` (sorted): the folder
// lacks them (an item the user deleted, one a cut pass did not write). Numbers rising.
std::vector<std::int64_t> ArticulosAusentes(const ArticulosNumerados& articulos, const std::vector<std::uint64_t>& presentes);

// The kept `articulos` but those from `desde` to `hasta` that the overview of that range did not
// list (`releidos`, every line's number in the server's order): those are gone (cancelled).
ArticulosNumerados ArticulosListados(ArticulosNumerados articulos, std::int64_t desde, std::int64_t hasta,
                                     const ArticulosNumerados& releidos);

// ---- 5. The numbering for the next pass

// What was kept and still holds (`previa`, nullopt when none does), with the marks of this pass's
// GROUP (`ahora`; the high mark never below the kept one) and every line read (`vistos`, any
// order) up to that high mark and not below its low mark, each number once.
NumeracionGrupo NumeracionNueva(std::optional<NumeracionGrupo> previa, const std::string& grupo, const MarcasGrupo& ahora,
                                ArticulosNumerados vistos);

}  // namespace tablon
