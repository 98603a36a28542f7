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

// Byte order with letter case ignored: the order in which texts equal by IgualSinCaso sit
// together (for sorting and binary search).
constexpr bool MenorSinCaso(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(MinusculaAscii(a[i]));
    const auto y = static_cast<unsigned char>(MinusculaAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// True when `texto` starts with `prefijo`, letter case ignored (an empty prefix always).
constexpr bool EmpiezaSinCaso(std::string_view texto, std::string_view prefijo) noexcept {
  return texto.size() >= prefijo.size() && IgualSinCaso(texto.substr(0, prefijo.size()), prefijo);
}

}  // namespace tablon
