#include "store/maildir/escape_nombre.h"

#include <cstdint>

#include "core/escape_hex.h"
#include "core/huella.h"

namespace tablon::store::maildir {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

std::string EscapaNombre(std::string_view nombre) {
  if (nombre.empty()) return "%";
  std::string r;
  r.reserve(nombre.size());
  const bool reservado = nombre == "cur" || nombre == "new" || nombre == "tmp";
  for (size_t i = 0; i < nombre.size(); ++i) {
    const auto c = static_cast<unsigned char>(nombre[i]);
    if (c == '/' || c == '\0' || c == '%' || (i == 0 && (c == '.' || reservado))) {
      AnadeEscapeHex(r, c);
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

std::optional<std::string> DesescapaNombre(std::string_view dir) {
  if (dir == "%") return std::string();
  if (dir.empty() || dir.size() > kMaxNombreDir) return std::nullopt;
  std::string r;
  r.reserve(dir.size());
  for (size_t i = 0; i < dir.size(); ++i) {
    if (dir[i] != '%') {
      r += dir[i];
      continue;
    }
    if (i + 2 >= dir.size() || ValorHexMayuscula(dir[i + 1]) < 0 ||
        ValorHexMayuscula(dir[i + 2]) < 0) {
      return std::nullopt;
    }
    r += static_cast<char>(ValorHexMayuscula(dir[i + 1]) * 16 + ValorHexMayuscula(dir[i + 2]));
    i += 2;
  }
  // Only the one canonical spelling is a folder ("%41" for "A" is not).
  if (EscapaNombre(r) != dir) return std::nullopt;
  return r;
}

std::string DirNombreLargo(std::string_view nombre, unsigned intento) {
  // FNV-1a, 64 bits: collisions are handled by probing, the hash only spreads the names.
  const std::uint64_t h = Fnv1a(nombre);
  std::string r = "%L";
  for (int s = 60; s >= 0; s -= 4) r += kHex[(h >> s) & 15];
  if (intento != 0) r += "-" + std::to_string(intento);
  return r;
}

bool EsDirNombreLargo(std::string_view dir) {
  if (dir.size() < 18 || dir.substr(0, 2) != "%L") return false;
  for (size_t i = 2; i < 18; ++i) {
    if (ValorHexMayuscula(dir[i]) < 0) return false;
  }
  if (dir.size() == 18) return true;
  if (dir[18] != '-' || dir.size() == 19) return false;
  for (size_t i = 19; i < dir.size(); ++i) {
    if (dir[i] < '0' || dir[i] > '9') return false;
  }
  return true;
}

}  // namespace tablon::store::maildir
