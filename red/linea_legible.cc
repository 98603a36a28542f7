#include "red/linea_legible.h"

#include <algorithm>

namespace tablon::red {

namespace {

// The first `maximo` bytes of `texto` with control bytes escaped.
std::string Escapado(std::string_view texto, std::size_t maximo) {
  std::string r;
  const std::size_t n = std::min(texto.size(), maximo);
  r.reserve(n + 16);
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(texto[i]);
    if (c < 0x20 || c == 0x7f) {
      r += "\\x";
      r += kHex[c >> 4];
      r += kHex[c & 15];
    } else {
      r += static_cast<char>(c);
    }
  }
  return r;
}

}  // namespace

std::string LineaLegible(std::string_view linea) {
  constexpr std::size_t kMaximo = 200;
  std::string r = Escapado(linea, kMaximo);
  if (linea.size() > kMaximo) r += "… (" + std::to_string(linea.size()) + " bytes)";
  return r;
}

std::string ExtractoLegible(std::string_view texto, std::size_t maximo) {
  std::string r = Escapado(texto, maximo);
  if (texto.size() > maximo) r += "…";
  return r;
}

}  // namespace tablon::red
