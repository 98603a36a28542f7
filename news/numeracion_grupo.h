// What the last pass learnt of a group's numbering on one server: the low and high marks and
// the count of its GROUP reply, and the message identifier of every article number the server
// listed up to that high mark. A pass uses it to ask the server only for what is new (see
// GrupoNews::LeeEncabezados); nothing in it is ever taken as proof that an article is in the
// store.
//
// One file per server and group, in the servers directory: "<host>.numeracion/<group>" (the
// group's name made safe as a file name, ArchivoNumeracion). Text, LF-ended lines:
//   tablon-numeracion 1
//   <group name>
//   <low> <high> <count>
//   <number> <identifier>          one per article, numbers rising
//   fin <articles> <checksum>      FNV-1a 64 of every byte before this line, in hex
// Written as every file of the program is (core/fs.h, EntregaAtomica); a file that is missing,
// cut, damaged, of another version or of another group reads as nothing (with the reason), and
// the pass then asks for the whole overview as if there were no file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/fs.h"

namespace tablon {

struct NumeracionGrupo {
  std::string grupo;
  std::int64_t primero = 0, ultimo = 0, cantidad = 0;  // the GROUP reply's low, high, count
  // Article number -> message identifier (empty when the overview line had none), numbers
  // rising, none above `ultimo`.
  std::vector<std::pair<std::int64_t, std::string>> articulos;

  bool operator==(const NumeracionGrupo&) const = default;
};

// The file of `grupo` in the directory `dir` (which ends in "/"): the name with every byte other
// than a letter, digit, "+", "-", "_" or a "." that is not the first written as "%XX"; a name
// whose file name would pass 200 bytes is cut there and ends in "%" and a hash of the whole name
// (the file holds the name, so two names sharing the cut are told apart when read).
std::string ArchivoNumeracion(const std::string& dir, const std::string& grupo);

// The numbering kept in `ruta` for `grupo`; nullopt when there is none that can be trusted, with
// the reason in `motivo` ("no hay", "dañado", "de otro grupo", ...). Never raises.
std::optional<NumeracionGrupo> LeeNumeracion(Fs& fs, const std::string& ruta, const std::string& grupo,
                                             std::string& motivo);

// Writes `n` to `ruta` (atomically; its directory made when missing). Raises tablon::Error
// (file numbers) when it cannot; the file is then as it was.
void GuardaNumeracion(Fs& fs, const std::string& ruta, const NumeracionGrupo& n);

// Removes the file (one already gone is no failure). Raises on any other failure.
void BorraNumeracion(Fs& fs, const std::string& ruta);

}  // namespace tablon
