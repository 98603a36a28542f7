#include "store/imap/ubicacion_imap.h"

#include <strings.h>

#include <charconv>

#include "core/error.h"
#include "core/traduce.h"
#include "red/direccion.h"

namespace tablon::store::imap {

namespace {

// The location as an error shows it: a password in it masked, control bytes escaped, cut to a
// readable length.
std::string Legible(std::string_view texto) {
  std::string sin_contrasena(texto);
  const std::size_t autoridad = sin_contrasena.find("://");
  if (autoridad != std::string::npos) {
    const std::size_t fin = sin_contrasena.find('/', autoridad + 3);
    const std::size_t arroba = sin_contrasena.rfind('@', fin);
    const std::size_t dos_puntos = sin_contrasena.find(':', autoridad + 3);
    if (arroba != std::string::npos && arroba > autoridad && dos_puntos < arroba) {
      sin_contrasena.replace(dos_puntos + 1, arroba - dos_puntos - 1, "********");
    }
  }
  texto = sin_contrasena;
  std::string r;
  for (char c : texto.substr(0, 200)) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      r += "\\x";
      r += kHex[u >> 4];
      r += kHex[u & 15];
    } else {
      r += c;
    }
  }
  if (texto.size() > 200) r += "…";
  return r;
}

[[noreturn]] void Invalida(std::string_view texto, const std::string& motivo) {
  throw Error(errnum::kArgumentoNoValido,
              Formatea(Traduce("Ubicación IMAP no válida \"%s\": %s"), {Legible(texto), motivo}));
}

int Hex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `parte` with its "%XX" escapes decoded; `que` names the part for errors (translated). A decoded control
// byte is refused as a raw one is.
std::string Decodifica(std::string_view texto, std::string_view parte, const char* que) {
  std::string r;
  for (std::size_t i = 0; i < parte.size(); ++i) {
    char c = parte[i];
    if (c == '%') {
      const int alto = i + 2 < parte.size() ? Hex(parte[i + 1]) : -1;
      const int bajo = alto >= 0 ? Hex(parte[i + 2]) : -1;
      if (bajo < 0) {
        Invalida(texto, Formatea(Traduce("escape \"%%\" mal formado en %s (se espera \"%%\" y dos cifras "
                                         "hexadecimales)"),
                                 {que}));
      }
      c = static_cast<char>(alto * 16 + bajo);
      i += 2;
    }
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) Invalida(texto, Formatea(Traduce("%s contiene caracteres de control"), {que}));
    r += c;
  }
  return r;
}

// `texto` with "%" and the bytes in `reservados` escaped, for Describe.
std::string Codifica(std::string_view texto, std::string_view reservados) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string r;
  for (char c : texto) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '%' || reservados.find(c) != std::string_view::npos || u <= 0x20 || u == 0x7f) {
      r += '%';
      r += kHex[u >> 4];
      r += kHex[u & 15];
    } else {
      r += c;
    }
  }
  return r;
}

std::uint16_t Puerto(std::string_view texto, std::string_view digitos) {
  unsigned v = 0;
  const auto [fin, ec] = std::from_chars(digitos.data(), digitos.data() + digitos.size(), v);
  if (digitos.empty() || ec != std::errc() || fin != digitos.data() + digitos.size() || v == 0 || v > 65535) {
    Invalida(texto, Traduce("el puerto debe ser un número entre 1 y 65535"));
  }
  return static_cast<std::uint16_t>(v);
}

bool EmpiezaSinCaso(std::string_view texto, std::string_view prefijo) {
  return texto.size() >= prefijo.size() && strncasecmp(texto.data(), prefijo.data(), prefijo.size()) == 0;
}

}  // namespace

std::string UbicacionImap::Describe() const {
  std::string r = tls_implicito ? "imaps://" : "imap://";
  r += Codifica(usuario, "@:/") + "@" + red::Describe(host, puerto);
  for (std::size_t i = 0; i < prefijo.size(); ++i) r += "/" + Codifica(prefijo[i], "/");
  return r;
}

std::optional<UbicacionImap> AnalizaUbicacionImap(std::string_view texto) {
  UbicacionImap u;
  std::string_view resto;
  if (EmpiezaSinCaso(texto, "imap://")) {
    resto = texto.substr(7);
  } else if (EmpiezaSinCaso(texto, "imaps://")) {
    resto = texto.substr(8);
    u.tls_implicito = true;
    u.puerto = kPuertoImaps;
  } else {
    return std::nullopt;
  }
  for (char c : texto) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7f) Invalida(texto, Traduce("contiene caracteres de control"));
    if (b == ' ') Invalida(texto, Traduce("contiene blancos (escríbalos \"%20\")"));
  }
  const std::size_t barra = resto.find('/');
  const std::string_view autoridad = resto.substr(0, barra);
  const std::string_view ruta = barra == std::string_view::npos ? std::string_view() : resto.substr(barra + 1);

  const std::size_t arroba = autoridad.rfind('@');
  if (arroba == std::string_view::npos) {
    Invalida(texto, Traduce("falta el usuario (imap://USUARIO@SERVIDOR)"));
  }
  const std::string_view usuario = autoridad.substr(0, arroba);
  if (usuario.find(':') != std::string_view::npos) {
    Invalida(texto,
             Traduce("no puede llevar contraseña: póngala en ~/.netrc (machine SERVIDOR login USUARIO password …)"));
  }
  if (usuario.find('@') != std::string_view::npos) {
    Invalida(texto, Traduce("el usuario contiene \"@\" (escríbalo \"%40\")"));
  }
  u.usuario = Decodifica(texto, usuario, Traduce("el usuario"));
  if (u.usuario.empty()) Invalida(texto, Traduce("el usuario está vacío"));

  const std::string_view servidor = autoridad.substr(arroba + 1);
  if (!servidor.empty() && servidor.front() == '[') {
    const std::size_t cierre = servidor.find(']');
    if (cierre == std::string_view::npos) Invalida(texto, Traduce("falta el \"]\" de la dirección IPv6"));
    u.host = std::string(servidor.substr(1, cierre - 1));
    if (u.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos || u.host.find(':') == std::string::npos) {
      Invalida(texto, Traduce("entre corchetes solo cabe una dirección IPv6"));
    }
    const std::string_view tras = servidor.substr(cierre + 1);
    if (!tras.empty()) {
      if (tras.front() != ':') Invalida(texto, Traduce("tras \"]\" solo puede ir \":puerto\""));
      u.puerto = Puerto(texto, tras.substr(1));
    }
  } else {
    const std::size_t dos_puntos = servidor.find(':');
    u.host = std::string(servidor.substr(0, dos_puntos));
    if (dos_puntos != std::string_view::npos) {
      if (servidor.find(':', dos_puntos + 1) != std::string_view::npos) {
        Invalida(texto, Traduce("una dirección IPv6 va entre corchetes: imap://usuario@[::1]:143"));
      }
      u.puerto = Puerto(texto, servidor.substr(dos_puntos + 1));
    }
    if (u.host.find_first_of("%[]") != std::string::npos) {
      Invalida(texto, Traduce("el nombre del servidor no es válido"));
    }
  }
  if (u.host.empty()) Invalida(texto, Traduce("falta el nombre del servidor"));

  if (!ruta.empty()) {
    for (std::size_t inicio = 0;;) {
      const std::size_t fin = ruta.find('/', inicio);
      const std::string_view parte = ruta.substr(inicio, fin == std::string_view::npos ? std::string_view::npos : fin - inicio);
      if (parte.empty()) Invalida(texto, Traduce("el prefijo tiene una parte vacía (\"//\" o \"/\" al final)"));
      u.prefijo.push_back(Decodifica(texto, parte, Traduce("el prefijo")));
      if (u.prefijo.back().empty()) Invalida(texto, Traduce("el prefijo tiene una parte vacía"));
      if (fin == std::string_view::npos) break;
      inicio = fin + 1;
    }
  }
  return u;
}

}  // namespace tablon::store::imap
