// UTF-8 as RFC 3629 defines it: the one reading of a byte sequence that the store (which
// charset a header or a body is labelled with, where an encoded word may end) and the panel
// (which bytes may reach the terminal) share. Pure functions; nothing fails.
#pragma once

#include <cstddef>
#include <string_view>

namespace tablon {

// Length of the well-formed UTF-8 sequence that `t` starts with, its code point in `cp`; 0 when
// `t` is empty or starts with none (a stray or cut sequence, an overlong form, a surrogate, a
// value past U+10FFFF).
std::size_t SecuenciaUtf8(std::string_view t, char32_t& cp);

// True when the whole of `s` is well-formed UTF-8.
bool EsUtf8Valido(std::string_view s);

}  // namespace tablon
