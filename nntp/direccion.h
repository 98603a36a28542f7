// The control's `Host` text as a place to connect to: "name", "name:port", "[v6addr]:port"
// (also "[v6addr]" and a bare IPv6 literal). The default port is 119; port 563 is NNTP over
// TLS from the first byte (RFC 4642 §1 / IANA "nntps").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tablon::nntp {

inline constexpr std::uint16_t kPuertoNntp = 119;
inline constexpr std::uint16_t kPuertoNntps = 563;

struct Direccion {
  std::string nombre;  // host name or address literal, without brackets
  std::uint16_t puerto = kPuertoNntp;
  bool tls_implicito = false;
};

// Throws tablon::Error(errnum::kArgumentoNoValido) for an empty name, a bad port, or control
// characters or blanks anywhere.
Direccion AnalizaHost(std::string_view host);

// "name:port", "[v6]:port" (a name holding ":" is an IPv6 literal and goes in brackets): how
// errors name the server.
std::string Describe(std::string_view nombre, std::uint16_t puerto);
inline std::string Describe(const Direccion& d) { return Describe(d.nombre, d.puerto); }

}  // namespace tablon::nntp
