#include "store/imap/nombre_buzon.h"

#include "core/ascii.h"
#include "core/escape_hex.h"
#include "store/imap/respuesta_imap.h"
#include "text/utf8.h"

namespace tablon::store::imap {

namespace {

bool Reservado(std::string_view nombre) {
  return nombre == "cur" || nombre == "new" || nombre == "tmp" || IgualSinCaso(nombre, "INBOX");
}

// The escaped text (see nombre_buzon.h), UTF-8 and free of the bytes a part may not hold.
std::string Escapa(std::string_view nombre, char delimitador) {
  if (nombre.empty()) return "%";
  std::string r;
  r.reserve(nombre.size());
  const bool reservado = Reservado(nombre);
  size_t i = 0;
  while (i < nombre.size()) {
    const auto c = static_cast<unsigned char>(nombre[i]);
    if (c >= 0x80) {
      // A whole UTF-8 sequence is kept; any byte that does not start one is escaped.
      char32_t cp = 0;
      const size_t n = SecuenciaUtf8(nombre.substr(i), cp);
      if (n == 0) {
        AnadeEscapeHex(r, c);
        ++i;
      } else {
        r.append(nombre.substr(i, n));
        i += n;
      }
      continue;
    }
    if (c < 0x20 || c == 0x7F || c == '%' || c == '*' || c == '/' ||
        (delimitador != '\0' && c == static_cast<unsigned char>(delimitador)) ||
        (i == 0 && (c == '.' || c == '~' || reservado))) {
      AnadeEscapeHex(r, c);
    } else {
      r += static_cast<char>(c);
    }
    ++i;
  }
  return r;
}

}  // namespace

std::string CodificaParteBuzon(std::string_view nombre, char delimitador) {
  const std::string escapado = Escapa(nombre, delimitador);
  // The escaped text is UTF-8 without NUL: always encodable.
  return CodificaNombreBuzon(escapado).value_or(escapado);
}

std::optional<std::string> DecodificaParteBuzon(std::string_view parte, char delimitador) {
  const auto utf8 = DecodificaNombreBuzon(parte);
  if (!utf8 || utf8->empty()) return std::nullopt;
  if (*utf8 == "%") return std::string();
  std::string r;
  r.reserve(utf8->size());
  for (size_t i = 0; i < utf8->size(); ++i) {
    const char c = (*utf8)[i];
    if (c != '%') {
      r += c;
      continue;
    }
    if (i + 2 >= utf8->size() || ValorHexMayuscula((*utf8)[i + 1]) < 0 || ValorHexMayuscula((*utf8)[i + 2]) < 0) {
      return std::nullopt;
    }
    r += static_cast<char>(ValorHexMayuscula((*utf8)[i + 1]) * 16 + ValorHexMayuscula((*utf8)[i + 2]));
    i += 2;
  }
  // Only the one canonical spelling is a folder.
  if (CodificaParteBuzon(r, delimitador) != parte) return std::nullopt;
  return r;
}

}  // namespace tablon::store::imap
