// A server's place as the user writes it: "name", "name:port", "[v6addr]:port" (also "[v6addr]"
// and a bare IPv6 literal), read with the protocol's ports: the news session reads the control's
// `Host` text with NNTP's (nntp/direccion_nntp.h). Also how errors name a server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tablon::red {

struct Direccion {
  std::string nombre;  // host name or address literal, without brackets
  std::uint16_t puerto = 0;
  bool tls_implicito = false;
};

// `host` read into its parts: the port is `puerto` when the text names none, and a connection
// to `puerto_tls` is TLS from the first byte. Throws tablon::Error(errnum::kArgumentoNoValido)
// for an empty name, a bad port, or control characters or blanks anywhere.
Direccion AnalizaHost(std::string_view host, std::uint16_t puerto, std::uint16_t puerto_tls);

// "name:port", "[v6]:port" (a name holding ":" is an IPv6 literal and goes in brackets): how
// errors name the server.
std::string Describe(std::string_view nombre, std::uint16_t puerto);
inline std::string Describe(const Direccion& d) { return Describe(d.nombre, d.puerto); }

}  // namespace tablon::red
