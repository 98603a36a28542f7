#include "red/linea_legible.h"

#include <algorithm>

namespace tablon::red {

std::string LineaLegible(std::string_view linea) {
  constexpr std::size_t kMaximo = 200;
  std::string r;
  const std::size_t n = std::min(linea.size(), kMaximo);
  r.reserve(n + 16);
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(linea[i]);
    if (c < 0x20 || c == 0x7f) {
      r += "\\x";
      r += kHex[c >> 4];
      r += kHex[c & 15];
    } else {
      r += static_cast<char>(c);
    }
  }
  if (linea.size() > kMaximo) r += "… (" + std::to_string(linea.size()) + " bytes)";
  return r;
}

}  // namespace tablon::red
