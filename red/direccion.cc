#include "red/direccion.h"

#include <charconv>

#include "core/error.h"
#include "core/traduce.h"

namespace tablon::red {

namespace {

[[noreturn]] void Invalido(std::string_view host, const char* motivo) {
  throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("Host no válido \"%s\": %s"), {host, motivo}));
}

std::uint16_t Puerto(std::string_view host, std::string_view texto) {
  unsigned v = 0;
  auto [fin, ec] = std::from_chars(texto.data(), texto.data() + texto.size(), v);
  if (texto.empty() || ec != std::errc() || fin != texto.data() + texto.size() || v == 0 ||
      v > 65535) {
    Invalido(host, Traduce("el puerto debe ser un número entre 1 y 65535"));
  }
  return static_cast<std::uint16_t>(v);
}

}  // namespace

Direccion AnalizaHost(std::string_view host, std::uint16_t puerto, std::uint16_t puerto_tls) {
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) Invalido(host, Traduce("contiene blancos o caracteres de control"));
  }
  Direccion d;
  d.puerto = puerto;
  if (!host.empty() && host.front() == '[') {
    const std::size_t cierre = host.find(']');
    if (cierre == std::string_view::npos) Invalido(host, Traduce("falta el \"]\""));
    d.nombre = std::string(host.substr(1, cierre - 1));
    const std::string_view resto = host.substr(cierre + 1);
    if (!resto.empty()) {
      if (resto.front() != ':') Invalido(host, Traduce("tras \"]\" solo puede ir \":puerto\""));
      d.puerto = Puerto(host, resto.substr(1));
    }
  } else {
    const std::size_t dos_puntos = host.find(':');
    if (dos_puntos != std::string_view::npos && host.find(':', dos_puntos + 1) != std::string_view::npos) {
      d.nombre = std::string(host);  // a bare IPv6 literal
    } else if (dos_puntos != std::string_view::npos) {
      d.nombre = std::string(host.substr(0, dos_puntos));
      d.puerto = Puerto(host, host.substr(dos_puntos + 1));
    } else {
      d.nombre = std::string(host);
    }
  }
  if (d.nombre.empty()) Invalido(host, Traduce("falta el nombre del servidor"));
  d.tls_implicito = d.puerto == puerto_tls;
  return d;
}

std::string Describe(std::string_view nombre, std::uint16_t puerto) {
  const bool v6 = nombre.find(':') != std::string_view::npos;
  std::string texto;
  if (v6) texto += '[';
  texto += nombre;
  if (v6) texto += ']';
  return texto + ":" + std::to_string(puerto);
}

}  // namespace tablon::red
