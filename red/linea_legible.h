// A line a server sent, or a command sent to it, as an error text or the trace shows it: the
// news session and the IMAP store's session quote the lines they refuse through it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tablon::red {

// `linea` cut to 200 bytes (then "… (N bytes)" with its whole size), control bytes escaped as
// "\xHH". Raises nothing but std::bad_alloc.
std::string LineaLegible(std::string_view linea);

// The first `maximo` bytes of `texto`, control bytes escaped as above, then "…" when cut (an
// excerpt of a longer reply, whose whole size says nothing). Raises nothing but std::bad_alloc.
std::string ExtractoLegible(std::string_view texto, std::size_t maximo);

}  // namespace tablon::red
