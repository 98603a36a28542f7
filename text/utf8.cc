#include "text/utf8.h"

namespace tablon {

std::size_t SecuenciaUtf8(std::string_view t, char32_t& cp) {
  if (t.empty()) return 0;
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
  const unsigned char c = byte(0);
  std::size_t len;
  char32_t menor;
  if (c < 0x80) {
    cp = c;
    return 1;
  } else if (c >= 0xc2 && c <= 0xdf) {
    len = 2, cp = c & 0x1f, menor = 0x80;
  } else if (c >= 0xe0 && c <= 0xef) {
    len = 3, cp = c & 0x0f, menor = 0x800;
  } else if (c >= 0xf0 && c <= 0xf4) {
    len = 4, cp = c & 0x07, menor = 0x10000;
  } else {
    return 0;
  }
  if (t.size() < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(k) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (byte(k) & 0x3f);
  }
  if (cp < menor || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return 0;
  return len;
}

bool EsUtf8Valido(std::string_view s) {
  char32_t cp;
  while (!s.empty()) {
    const std::size_t n = SecuenciaUtf8(s, cp);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

}  // namespace tablon
