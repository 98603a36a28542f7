// Folder names to directory names: one safe directory component, a round trip, and two
// different names never the same directory. The input is two names split at its first 0xFF.
// The same for a folder name as one part of an IMAP mailbox name, with "/" and "." as the
// server's delimiter: ASCII without the delimiter, the LIST wildcards or controls, a round trip,
// distinct names distinct parts, and only canonical parts decode.
#include <cstdint>
#include <string>
#include <string_view>

#include "store/imap/nombre_buzon.h"
#include "store/maildir/escape_nombre.h"

using namespace tablon::store::maildir;
using tablon::store::imap::CodificaParteBuzon;
using tablon::store::imap::DecodificaParteBuzon;

namespace {

void CompruebaComponente(std::string_view d) {
  if (d.empty() || d == "." || d == ".." || d == "cur" || d == "new" || d == "tmp" || d.front() == '.' ||
      d.find('/') != std::string_view::npos || d.find('\0') != std::string_view::npos) {
    __builtin_trap();
  }
}

// Where the store puts `nombre`: its escape, or the first long-name candidate.
std::string Directorio(std::string_view nombre) {
  const std::string e = EscapaNombre(nombre);
  return e.size() <= kMaxNombreDir ? e : DirNombreLargo(nombre, 0);
}

void CompruebaParteBuzon(std::string_view a, std::string_view b, std::string_view todo, char delimitador) {
  for (std::string_view n : {a, b}) {
    const std::string p = CodificaParteBuzon(n, delimitador);
    for (const char c : p) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x20 || u >= 0x7F || c == delimitador || c == '*' || c == '/') __builtin_trap();
    }
    const auto vuelta = DecodificaParteBuzon(p, delimitador);
    if (!vuelta || *vuelta != n) __builtin_trap();
  }
  if (a != b && CodificaParteBuzon(a, delimitador) == CodificaParteBuzon(b, delimitador)) __builtin_trap();
  if (const auto n = DecodificaParteBuzon(todo, delimitador)) {
    if (CodificaParteBuzon(*n, delimitador) != todo) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view todo(reinterpret_cast<const char*>(data), size);
  const std::size_t corte = todo.find('\xff');
  const std::string_view a = todo.substr(0, corte);
  const std::string_view b = corte == std::string_view::npos ? std::string_view() : todo.substr(corte + 1);
  for (std::string_view n : {a, b}) {
    const std::string d = Directorio(n);
    CompruebaComponente(d);
    if (d.size() > kMaxNombreDir) __builtin_trap();
    if (EsDirNombreLargo(d)) {
      if (DesescapaNombre(d)) __builtin_trap();  // never mistaken for an escaped name
    } else {
      const auto vuelta = DesescapaNombre(d);
      if (!vuelta || *vuelta != n) __builtin_trap();
    }
  }
  // Distinct names, distinct escapes (long names are kept apart by probing, not here).
  if (a != b && EscapaNombre(a) == EscapaNombre(b)) __builtin_trap();
  // Any directory name that decodes is the canonical escape of what it decodes to.
  if (const auto n = DesescapaNombre(todo)) {
    if (EscapaNombre(*n) != todo) __builtin_trap();
  }
  CompruebaParteBuzon(a, b, todo, '/');
  CompruebaParteBuzon(a, b, todo, '.');
  return 0;
}
