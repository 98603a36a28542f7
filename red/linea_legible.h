// A line a server sent, or a command sent to it, as an error text or the trace shows it: the
// news session and the IMAP store's session quote the lines they refuse through it.
#pragma once

#include <string>
#include <string_view>

namespace tablon::red {

// `linea` cut to 200 bytes (then "… (N bytes)" with its whole size), control bytes escaped as
// "\xHH". Raises nothing but std::bad_alloc.
std::string LineaLegible(std::string_view linea);

}  // namespace tablon::red
