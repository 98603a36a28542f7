// "%XX" escapes with upper-case hex digits, as the store's names write them (a folder's directory
// name, a folder's mailbox name): the byte that makes one, and the digit value that reads one.
// Which bytes get escaped is each name's own rule. Pure functions; nothing fails.
#pragma once

#include <string>

namespace tablon {

// Appends "%" and the two upper-case hex digits of `c` to `r`.
inline void AnadeEscapeHex(std::string& r, unsigned char c) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  r += '%';
  r += kHex[c >> 4];
  r += kHex[c & 15];
}

// The value of an upper-case hex digit ('0'..'9', 'A'..'F'); -1 for any other byte (a lower-case
// digit too: only the canonical spelling of an escape reads).
constexpr int ValorHexMayuscula(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace tablon
