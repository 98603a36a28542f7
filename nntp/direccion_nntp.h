// The control's `Host` text as an NNTP server's place (red/direccion.h with NNTP's ports): the
// default port is 119; port 563 is NNTP over TLS from the first byte (RFC 4642 §1 / IANA
// "nntps").
#pragma once

#include <cstdint>
#include <string_view>

#include "red/direccion.h"

namespace tablon::nntp {

inline constexpr std::uint16_t kPuertoNntp = 119;
inline constexpr std::uint16_t kPuertoNntps = 563;

// red::AnalizaHost with NNTP's ports; fails as it does.
inline red::Direccion AnalizaHost(std::string_view host) {
  return red::AnalizaHost(host, kPuertoNntp, kPuertoNntps);
}

}  // namespace tablon::nntp
