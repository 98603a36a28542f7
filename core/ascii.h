// ASCII letter case, the one folding every layer uses: header names, message classes, article
// identifiers as keys, month and weekday names of dates. Only 'A'..'Z' fold to 'a'..'z'; every
// other byte (digits, punctuation, 8-bit bytes of UTF-8 or Latin-1 text) stands for itself, and
// the machine's locale plays no part. Pure functions; nothing fails.
#pragma once

#include <cstddef>
#include <string_view>

namespace tablon {

// `c` with an upper-case ASCII letter made lower-case; any other byte as it is.
constexpr char MinusculaAscii(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// True when `a` and `b` have the same length and the same bytes, letter case ignored.
constexpr bool IgualSinCaso(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (MinusculaAscii(a[i]) != MinusculaAscii(b[i])) return false;
  }
  return true;
}

// True when `texto` starts with `prefijo`, letter case ignored (an empty prefix always).
constexpr bool EmpiezaSinCaso(std::string_view texto, std::string_view prefijo) noexcept {
  return texto.size() >= prefijo.size() && IgualSinCaso(texto.substr(0, prefijo.size()), prefijo);
}

}  // namespace tablon
