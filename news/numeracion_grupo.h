// What the last pass learnt of a group's numbering on one server: the low and high marks and
// the count of its GROUP reply, and a 64-bit hash of the message identifier of every article
// number the server listed up to that high mark (HuellaIdentificador: a hash, not the text, so
// that a group of a hundred thousand articles costs little memory and little file). A pass uses
// it to ask the server only for what is new (see GrupoNews::LeeEncabezados, and what it decides
// from it: news/decision_resumen.h); nothing in it is ever taken as proof that an article is in
// the store.
//
// One file per server and group, in the servers directory: "<host>.numeracion/<group>" (the
// group's name made safe as a file name, ArchivoNumeracion). Text, LF-ended lines:
//   tablon-numeracion 2
//   <group name>
//   <low> <high> <count> <top number> <articles' fingerprint> <top identifier's hash>
//   cabecera <checksum>            FNV-1a 64 of the three lines above, in hex
//   <number> <identifier's hash>   one per article, numbers rising; hashes in hex
//   fin <articles> <checksum>      FNV-1a 64 of every byte before this line, in hex
// The top article is the highest numbered one with an identifier (number 0 and hash 0 when
// there is none); the fingerprint is the FNV-1a 64 of the article lines. The first four lines are
// the file's head (CabeceraNumeracion): a pass that only needs the marks reads them alone.
// Written as every file of the program is (core/fs.h, EntregaAtomica); a file that is missing,
// cut, damaged, of another version or of another group reads as nothing (with the reason), and
// the pass then asks for the whole overview as if there were no file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/fs.h"

namespace tablon {

struct NumeracionGrupo {
  std::string grupo;
  std::int64_t primero = 0, ultimo = 0, cantidad = 0;  // the GROUP reply's low, high, count
  // Article number -> hash of its message identifier (0 when the overview line had none),
  // numbers rising, none above `ultimo`.
  std::vector<std::pair<std::int64_t, std::uint64_t>> articulos;

  bool operator==(const NumeracionGrupo&) const = default;
};

// The head of a numbering: its marks, its top article and a fingerprint of its articles.
struct CabeceraNumeracion {
  std::int64_t primero = 0, ultimo = 0, cantidad = 0;
  std::int64_t numero_alto = 0;  // 0: no article with an identifier
  std::uint64_t huella_alta = 0;  // its identifier's hash
  std::uint64_t huella = 0;

  bool operator==(const CabeceraNumeracion&) const = default;
  // The marks and the fingerprint as one text (what another file may record to name this
  // numbering).
  std::string Vinculo() const;
};

// The hash kept of a message identifier: FNV-1a 64 of its bytes with ASCII letters folded to
// lower case (identifiers that the program takes for one article hash alike), never 0 (0 is
// "no identifier", the hash of ""). Two identifiers of one group sharing a hash by chance (about
// one group in 10^9 at 100,000 articles) would be taken for one article by the numbering only.
std::uint64_t HuellaIdentificador(std::string_view id);

// The head that GuardaNumeracion writes for `n`.
CabeceraNumeracion CabeceraDe(const NumeracionGrupo& n);

// The file of `grupo` in the directory `dir` (which ends in "/"): the name with every byte other
// than a letter, digit, "+", "-", "_" or a "." that is not the first written as "%XX"; a name
// whose file name would pass 200 bytes is cut there and ends in "%" and a hash of the whole name
// (the file holds the name, so two names sharing the cut are told apart when read).
std::string ArchivoNumeracion(const std::string& dir, const std::string& grupo);

// The numbering kept in `ruta` for `grupo`; nullopt when there is none that can be trusted, with
// the reason in `motivo` ("no hay", "dañado", "de otro grupo", ...). Never raises.
std::optional<NumeracionGrupo> LeeNumeracion(Fs& fs, const std::string& ruta, const std::string& grupo,
                                             std::string& motivo);

// The head of the numbering kept in `ruta` for `grupo`, reading the file's first lines only;
// nullopt, with the reason, as LeeNumeracion (a head that checks says nothing of the articles
// after it: LeeNumeracion checks the whole file). Never raises.
std::optional<CabeceraNumeracion> LeeCabeceraNumeracion(Fs& fs, const std::string& ruta, const std::string& grupo,
                                                         std::string& motivo);

// Writes `n` to `ruta` (atomically; its directory made when missing). Raises tablon::Error
// (file numbers) when it cannot; the file is then as it was.
// Answers the head written.
CabeceraNumeracion GuardaNumeracion(Fs& fs, const std::string& ruta, const NumeracionGrupo& n);

// Removes the file (one already gone is no failure). Raises on any other failure.
void BorraNumeracion(Fs& fs, const std::string& ruta);

}  // namespace tablon
