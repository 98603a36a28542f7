// FNV-1a, 64 bits: the checksums of the program's own files (a state file's numbering, a folder's
// index), the fingerprints they record and the hashes that spread names. Not a defence against
// anyone: it finds a file cut or changed by accident, never one forged. Pure; nothing fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/ascii.h"

namespace tablon {

inline constexpr std::uint64_t kFnvBase = 14695981039346656037ull;
inline constexpr std::uint64_t kFnvPrimo = 1099511628211ull;

// The hash of `s`, going on from `h` (a hash of what came before it).
constexpr std::uint64_t Fnv1a(std::string_view s, std::uint64_t h = kFnvBase) noexcept {
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * kFnvPrimo;
  return h;
}

// The hash of `s` with ASCII letters folded to lower case (core/ascii.h): texts equal by
// IgualSinCaso hash alike.
constexpr std::uint64_t Fnv1aSinCaso(std::string_view s) noexcept {
  std::uint64_t h = kFnvBase;
  for (char c : s) h = (h ^ static_cast<unsigned char>(MinusculaAscii(c))) * kFnvPrimo;
  return h;
}

// `v` as 16 lower-case hexadecimal digits.
inline std::string Hex64(std::uint64_t v) {
  static constexpr char kDigitos[] = "0123456789abcdef";
  std::string r(16, '0');
  for (int i = 15; i >= 0; --i, v >>= 4) r[static_cast<size_t>(i)] = kDigitos[v & 15];
  return r;
}

}  // namespace tablon
