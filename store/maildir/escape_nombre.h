// Folder name <-> directory name, a pure mapping. A folder name is any text (bytes), exact and
// case-sensitive; a directory name must not be empty, ".", "..", hold '/' or NUL, and must not
// be one of the Maildir directories "cur", "new", "tmp". The mapping:
//  - '%' is the escape character: '/', NUL and '%' itself become %2F, %00, %25 (upper-case hex);
//  - a leading '.' becomes %2E (hidden directories belong to other programs);
//  - "cur", "new", "tmp" get their first letter escaped ("%63ur", "%6Eew", "%74mp");
//  - the empty name is the directory "%" alone;
//  - everything else is kept byte for byte.
// Only the canonical form decodes: a directory whose name is not exactly the escape of some
// folder name (".git", "a%zz", "cur") is not a folder of the store.
//
// A name whose escape exceeds kMaxNombreDir bytes cannot be a directory name. Such a folder lives
// in a directory "%L" + 16 hex digits of a hash of the name (+ "-N" when that directory belongs
// to another name already), and its exact name is kept in the file kArchivoNombreLargo inside it.
// The folder code probes the candidates in order, so two names never share a directory.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tablon::store::maildir {

inline constexpr size_t kMaxNombreDir = 255;
inline constexpr std::string_view kArchivoNombreLargo = ".tablon-nombre";

// The escaped directory name of `nombre` (may be longer than kMaxNombreDir).
std::string EscapaNombre(std::string_view nombre);
// The folder name of directory `dir`; nullopt when `dir` is not a canonical escape (and for the
// long-name directories, whose names are kept in a file).
std::optional<std::string> DesescapaNombre(std::string_view dir);

// The directory candidate number `intento` (0, 1, 2, ...) for a name too long to escape.
std::string DirNombreLargo(std::string_view nombre, unsigned intento);
bool EsDirNombreLargo(std::string_view dir);

}  // namespace tablon::store::maildir
