#include "store/maildir/header_text.h"

#include <array>

namespace tablon::store::maildir {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kPliegue = 78;   // fold lines near this length...
constexpr size_t kMaxLinea = 998;  // ...and never beyond this one

int ValorHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool EsBlanco(char c) { return c == ' ' || c == '\t'; }

std::string TextoVisibleCalculado(std::string_view valor, bool es_direccion);

// Length of the UTF-8 sequence starting at s[i] (1 for a byte that starts none).
size_t LargoUtf8(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 1;
  return i + n <= s.size() ? n : 1;
}

// RFC 2047 "B" encoded words for `texto`, separated by blanks, each at most 75 characters and
// never splitting a UTF-8 character.
std::string PalabrasCodificadas(std::string_view texto) {
  const bool utf8 = EsUtf8Valido(texto);
  const std::string inicio = utf8 ? "=?UTF-8?B?" : "=?ISO-8859-1?B?";
  constexpr size_t kBytesPorPalabra = 45;  // 60 base64 characters
  std::string r;
  size_t i = 0;
  while (i < texto.size()) {
    size_t fin = i;
    while (fin < texto.size()) {
      const size_t n = utf8 ? LargoUtf8(texto, fin) : 1;
      if (fin + n - i > kBytesPorPalabra) break;
      fin += n;
    }
    if (!r.empty()) r += ' ';
    r += inicio + Base64(texto.substr(i, fin - i)) + "?=";
    i = fin;
  }
  return r;
}

}  // namespace

size_t FinDeCabecera(std::string_view d, size_t desde) {
  // Line starts only: the first one at `desde` when it is one, then each byte after a LF.
  size_t i = desde;
  if (i != 0 && i < d.size() && d[i - 1] != '\n') {
    const size_t nl = d.find('\n', i);
    if (nl == std::string_view::npos) return std::string_view::npos;
    i = nl + 1;
  }
  while (i < d.size()) {
    if (d[i] == '\n') return i + 1;
    if (d[i] == '\r' && i + 1 < d.size() && d[i + 1] == '\n') return i + 2;
    const size_t nl = d.find('\n', i);
    if (nl == std::string_view::npos) return std::string_view::npos;
    i = nl + 1;
  }
  return std::string_view::npos;
}

std::string CodificaExacto(std::string_view valor) {
  std::string r;
  AgregaCodificaExacto(r, valor);
  return r;
}

void AgregaCodificaExacto(std::string& r, std::string_view valor) {
  r.reserve(r.size() + valor.size());
  for (char ch : valor) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= ' ' || c >= 0x7F || c == '%' || c == ';') {
      r += '%';
      r += kHex[c >> 4];
      r += kHex[c & 15];
    } else {
      r += ch;
    }
  }
}

std::string DecodificaExacto(std::string_view t) {
  std::string r;
  r.reserve(t.size());
  for (size_t i = 0; i < t.size(); ++i) {
    if (EsBlanco(t[i]) || t[i] == '\r' || t[i] == '\n') continue;
    if (t[i] == '%' && i + 2 < t.size() && ValorHex(t[i + 1]) >= 0 && ValorHex(t[i + 2]) >= 0) {
      r += static_cast<char>(ValorHex(t[i + 1]) * 16 + ValorHex(t[i + 2]));
      i += 2;
    } else {
      r += t[i];
    }
  }
  return r;
}

std::string Base64(std::string_view b, size_t ancho) {
  std::string r;
  r.reserve((b.size() + 2) / 3 * 4 + (ancho ? b.size() / ancho + 1 : 0));
  size_t en_linea = 0;
  auto pon = [&](char c) {
    r += c;
    if (ancho && ++en_linea == ancho) {
      r += '\n';
      en_linea = 0;
    }
  };
  for (size_t i = 0; i < b.size(); i += 3) {
    const unsigned n = (static_cast<unsigned char>(b[i]) << 16) |
                       (i + 1 < b.size() ? static_cast<unsigned char>(b[i + 1]) << 8 : 0u) |
                       (i + 2 < b.size() ? static_cast<unsigned char>(b[i + 2]) : 0u);
    pon(kB64[(n >> 18) & 63]);
    pon(kB64[(n >> 12) & 63]);
    pon(i + 1 < b.size() ? kB64[(n >> 6) & 63] : '=');
    pon(i + 2 < b.size() ? kB64[n & 63] : '=');
  }
  if (ancho && en_linea != 0) r += '\n';
  return r;
}

std::optional<std::string> DeBase64(std::string_view t) {
  std::array<int, 256> valor;
  valor.fill(-1);
  for (int i = 0; i < 64; ++i) valor[static_cast<unsigned char>(kB64[i])] = i;
  std::string r;
  unsigned acum = 0;
  int bits = 0;
  bool fin = false;
  for (char ch : t) {
    if (EsBlanco(ch) || ch == '\r' || ch == '\n') continue;
    if (ch == '=') {
      fin = true;
      continue;
    }
    const int v = valor[static_cast<unsigned char>(ch)];
    if (v < 0 || fin) return std::nullopt;
    acum = (acum << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      r += static_cast<char>((acum >> bits) & 0xFF);
    }
  }
  return r;
}

bool EsUtf8Valido(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c >> 5) == 6) {
      n = 2;
      cp = c & 0x1F;
    } else if ((c >> 4) == 14) {
      n = 3;
      cp = c & 0x0F;
    } else if ((c >> 3) == 30) {
      n = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + n > s.size()) return false;
    for (size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
        (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) {
      return false;
    }
    i += n;
  }
  return true;
}

bool EsAsciiImprimible(std::string_view s) {
  for (char c : s) {
    if (c < ' ' || c > '~') return false;
  }
  return true;
}

std::string TextoVisible(std::string_view valor, bool es_direccion) {
  std::string buf;
  const std::string_view v = TextoVisible(valor, es_direccion, buf);
  return v.data() == buf.data() ? std::move(buf) : std::string(v);
}

std::string_view TextoVisible(std::string_view valor, bool es_direccion, std::string& buf) {
  // Printable ASCII without blanks at either end is its own display form.
  if (EsAsciiImprimible(valor) && Recorta(valor).size() == valor.size()) return valor;
  buf = TextoVisibleCalculado(valor, es_direccion);
  return buf;
}

namespace {
std::string TextoVisibleCalculado(std::string_view valor, bool es_direccion) {
  std::string limpio(valor);
  for (char& c : limpio) {
    if (c == '\r' || c == '\n' || c == '\0' || c == '\t') c = ' ';
  }
  const std::string_view v = Recorta(limpio);
  if (EsAsciiImprimible(v)) return std::string(v);
  if (es_direccion && v.size() > 2 && v.back() == '>') {
    const size_t lt = v.rfind('<');
    if (lt != std::string_view::npos && EsAsciiImprimible(v.substr(lt))) {
      const std::string_view frase = Recorta(v.substr(0, lt));
      if (frase.empty()) return std::string(v.substr(lt));
      return PalabrasCodificadas(frase) + " " + std::string(v.substr(lt));
    }
  }
  return PalabrasCodificadas(v);
}
}  // namespace

std::string LineaCabecera(std::string_view nombre, std::string_view valor) {
  std::string r;
  AgregaLineaCabecera(r, nombre, valor);
  return r;
}

void AgregaLineaCabecera(std::string& r, std::string_view nombre, std::string_view valor) {
  r.append(nombre);
  r += ':';
  size_t largo = nombre.size() + 1;  // of the line being built
  size_t i = 0;
  bool primera = true;
  while (i < valor.size()) {
    // A token: the blanks before a word, and the word.
    size_t j = i;
    while (j < valor.size() && valor[j] == ' ') ++j;
    while (j < valor.size() && valor[j] != ' ') ++j;
    std::string_view token = valor.substr(i, j - i);
    if (primera) {
      r += ' ';
      ++largo;
    } else if (largo + token.size() > kPliegue && token.front() == ' ' &&
               token.find_first_not_of(' ') != std::string_view::npos) {
      r += '\n';
      largo = 0;
    }
    primera = false;
    // A word that cannot fit on any line is cut hard (the display copy gains blanks there).
    while (largo + token.size() > kMaxLinea) {
      const size_t cabe = kMaxLinea - largo > 1 ? kMaxLinea - largo - 1 : 0;
      r.append(token.substr(0, cabe));
      r += "\n ";
      largo = 1;
      token.remove_prefix(cabe);
    }
    r.append(token);
    largo += token.size();
    i = j;
  }
  if (primera) r += ' ';
  r += '\n';
}

std::string LineaCabeceraExacta(std::string_view nombre, std::string_view cod) {
  std::string r;
  AgregaLineaCabeceraExacta(r, nombre, cod);
  return r;
}

void AgregaLineaCabeceraExacta(std::string& r, std::string_view nombre, std::string_view cod) {
  r.append(nombre);
  r += ": ";
  size_t largo = nombre.size() + 2;
  size_t i = 0;
  while (i < cod.size()) {
    size_t cabe = kPliegue > largo ? kPliegue - largo : 1;
    // Never cut a %XX escape in two (the reader would still cope; a person reads it easier).
    if (i + cabe < cod.size()) {
      for (size_t k = 1; k <= 2 && cabe > k; ++k) {
        if (cod[i + cabe - k] == '%') {
          cabe -= k;
          break;
        }
      }
    }
    r.append(cod.substr(i, cabe));
    i += cabe;
    if (i < cod.size()) {
      r += "\n ";
      largo = 1;
    }
  }
  r += '\n';
}

std::vector<CampoCabecera> LeeCampos(std::string_view bloque) {
  std::vector<CampoCabecera> r;
  // One field per line at most: sized once, never moved while it fills.
  size_t lineas = 1;
  for (char c : bloque) lineas += c == '\n';
  r.reserve(lineas);
  bool dentro = false;  // the previous line belongs to a field
  size_t i = 0;
  while (i < bloque.size()) {
    size_t fin = bloque.find('\n', i);
    if (fin == std::string_view::npos) fin = bloque.size();
    std::string_view linea = bloque.substr(i, fin - i);
    i = fin + 1;
    if (!linea.empty() && linea.back() == '\r') linea.remove_suffix(1);
    if (linea.empty()) break;
    if (EsBlanco(linea.front())) {
      if (dentro) r.back().valor.append(linea);
      continue;
    }
    const size_t dos_puntos = linea.find(':');
    if (dos_puntos == std::string_view::npos || dos_puntos == 0 ||
        linea.substr(0, dos_puntos).find_first_of(" \t") != std::string_view::npos) {
      dentro = false;
      continue;
    }
    std::string_view valor = linea.substr(dos_puntos + 1);
    while (!valor.empty() && EsBlanco(valor.front())) valor.remove_prefix(1);
    r.push_back({std::string(linea.substr(0, dos_puntos)), std::string(valor)});
    dentro = true;
  }
  return r;
}

bool IgualSinCaso(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

std::string_view Recorta(std::string_view s) {
  while (!s.empty() && EsBlanco(s.front())) s.remove_prefix(1);
  while (!s.empty() && EsBlanco(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace tablon::store::maildir
