#include "store/mensaje/texto_cabecera.h"

#include <algorithm>
#include <array>

#include "core/ascii.h"
#include "text/utf8.h"

namespace tablon::store::mensaje {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kPliegue = 78;            // fold lines near this length...
constexpr size_t kPliegueCodificado = 76;  // ...a line holding encoded words near this one...
constexpr size_t kMaxLinea = 998;          // ...and never beyond this one
constexpr size_t kMaxPalabraCodificada = 75;
// Bytes in each encoded word of a display value: 48 base64 characters, so that the first word
// (65 characters at most) still fits on the field's first line after "In-Reply-To: ".
constexpr size_t kBytesPorPalabra = 36;

int ValorHex(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool EsBlanco(char c) { return c == ' ' || c == '\t'; }

std::string TextoVisibleCalculado(std::string_view valor, bool es_direccion);

// Bytes of the character at s[i]: its UTF-8 sequence in a text that is UTF-8 (`utf8`), one byte
// otherwise or where no sequence starts.
size_t LargoCaracter(std::string_view s, size_t i, bool utf8) {
  char32_t cp;
  const size_t n = utf8 ? SecuenciaUtf8(s.substr(i), cp) : 0;
  return n == 0 ? 1 : n;
}

// RFC 2047 "B" encoded words for `texto`, separated by blanks, each at most 65 characters and
// never splitting a UTF-8 character.
std::string PalabrasCodificadas(std::string_view texto) {
  const bool utf8 = EsUtf8Valido(texto);
  const std::string inicio = utf8 ? "=?UTF-8?B?" : "=?ISO-8859-1?B?";
  std::string r;
  size_t i = 0;
  while (i < texto.size()) {
    size_t fin = i;
    while (fin < texto.size()) {
      const size_t n = LargoCaracter(texto, fin, utf8);
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
  // Blanks and line ends are no part of the encoding: skipped wherever they are, inside a %XX
  // escape too.
  auto salta = [&](size_t i) {
    while (i < t.size() && (EsBlanco(t[i]) || t[i] == '\r' || t[i] == '\n')) ++i;
    return i;
  };
  std::string r;
  r.reserve(t.size());
  for (size_t i = salta(0); i < t.size(); i = salta(i)) {
    if (t[i] == '%') {
      const size_t a = salta(i + 1);
      const size_t b = a < t.size() ? salta(a + 1) : t.size();
      if (b < t.size() && ValorHex(t[a]) >= 0 && ValorHex(t[b]) >= 0) {
        r += static_cast<char>(ValorHex(t[a]) * 16 + ValorHex(t[b]));
        i = b + 1;
        continue;
      }
    }
    r += t[i++];
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

// Where a field allows encoded words (RFC 2047 section 5): anywhere in unstructured text, only as
// words of a phrase in an address list, nowhere in the others (identifiers, dates).
enum class ClaseCampo { Texto, Direcciones, Otro };

ClaseCampo ClaseDe(std::string_view nombre) {
  if (IgualSinCaso(nombre, "Subject") || IgualSinCaso(nombre, "Comments")) return ClaseCampo::Texto;
  for (std::string_view n : {"From", "To", "Cc", "Bcc", "Reply-To", "Sender"}) {
    if (IgualSinCaso(nombre, n)) return ClaseCampo::Direcciones;
  }
  return ClaseCampo::Otro;
}

// "=?charset?B?text?=" or "=?charset?Q?text?=": what a reader takes for an encoded word.
bool PareceCodificada(std::string_view w) {
  if (w.size() < 8 || w.substr(0, 2) != "=?" || w.substr(w.size() - 2) != "?=") return false;
  const std::string_view dentro = w.substr(2, w.size() - 4);
  const size_t a = dentro.find('?');
  if (a == 0 || a == std::string_view::npos || a + 2 >= dentro.size() || dentro[a + 2] != '?') {
    return false;
  }
  const char e = MinusculaAscii(dentro[a + 1]);
  return (e == 'b' || e == 'q') && dentro.find('?', a + 3) == std::string_view::npos;
}

// An atom of a phrase (RFC 5322 atext; 8-bit bytes too, which only an encoded word can carry).
bool EsAtomo(std::string_view w) {
  for (char ch : w) {
    const auto c = static_cast<unsigned char>(ch);
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c >= 0x80 || std::string_view("!#$%&'*+-/=?^_`{|}~").find(ch) != std::string_view::npos;
    if (!ok) return false;
  }
  return !w.empty();
}

// A whole quoted string `"..."` in one word: its text without quotes and escapes into `texto`.
bool EsEntrecomillada(std::string_view w, std::string& texto) {
  if (w.size() < 3 || w.front() != '"' || w.back() != '"') return false;
  texto.clear();
  size_t i = 1;
  while (i + 1 < w.size()) {
    if (w[i] == '"') return false;
    if (w[i] == '\\') ++i;
    if (i + 1 >= w.size()) return false;  // the closing quote is escaped
    texto += w[i++];
  }
  return true;
}

// Where a byte of an address list stands: inside a quoted string, a comment or an angle address
// no word can be replaced by encoded words.
struct Sintaxis {
  bool comillas = false, escape = false, angulo = false;
  int comentario = 0;

  bool Fuera() const { return !comillas && !escape && !angulo && comentario == 0; }
  void Avanza(std::string_view t) {
    for (char c : t) {
      if (escape) {
        escape = false;
      } else if (comillas) {
        if (c == '\\') escape = true;
        else if (c == '"') comillas = false;
      } else if (comentario > 0) {
        if (c == '\\') escape = true;
        else if (c == '(') ++comentario;
        else if (c == ')') --comentario;
      } else if (c == '"') {
        comillas = true;
      } else if (c == '(') {
        comentario = 1;
      } else if (c == '<') {
        angulo = true;
      } else if (c == '>') {
        angulo = false;
      }
    }
  }
};

// The blanks before a word and the word, from `i` on.
struct Token {
  std::string_view blancos, palabra;
  size_t fin = 0;
};

Token SiguienteToken(std::string_view v, size_t i) {
  size_t j = i;
  while (j < v.size() && EsBlanco(v[j])) ++j;
  size_t k = j;
  while (k < v.size() && !EsBlanco(v[k])) ++k;
  return {v.substr(i, j - i), v.substr(j, k - j), k};
}

// The lines of one field being written: "Name:" and the value, folded only before blanks.
class Plegador {
 public:
  Plegador(std::string& r, std::string_view nombre) : r_(r), largo_(nombre.size() + 1) {
    r_.append(nombre);
    r_ += ':';
  }

  size_t largo() const { return largo_; }
  bool LineaCodificada() const { return codificada_; }

  void Pon(std::string_view t, bool codificada = false) {
    r_.append(t);
    largo_ += t.size();
    codificada_ = codificada_ || codificada;
  }
  void Salto() {
    r_ += '\n';
    largo_ = 0;
    codificada_ = false;
  }

  // The blanks `b` and then `siguiente` bytes that must follow the last of them on its line: on
  // this line when all fits within `limite`; otherwise a fold before a blank, the new line
  // starting with as many of them as leave room for what follows (one at least) and the others
  // ending this line (on lines of their own past 998 bytes, a case of hundreds of blanks).
  void Blancos(std::string_view b, size_t siguiente, size_t limite) {
    if (b.empty()) return;
    if (largo_ + b.size() + siguiente <= limite) {
      Pon(b);
      return;
    }
    size_t en_nueva = siguiente < limite ? limite - siguiente : 1;
    if (en_nueva > b.size()) en_nueva = b.size();
    std::string_view cabeza = b.substr(0, b.size() - en_nueva);
    while (!cabeza.empty()) {
      if (largo_ >= kMaxLinea) Salto();
      const size_t k = std::min(kMaxLinea - largo_, cabeza.size());
      Pon(cabeza.substr(0, k));
      cabeza.remove_prefix(k);
    }
    Salto();
    Pon(b.substr(b.size() - en_nueva));
  }

 private:
  std::string& r_;
  size_t largo_;
  bool codificada_ = false;  // the current line holds an encoded word
};

// Bytes taken by the encoded word of `n` bytes.
size_t LargoCodificada(size_t n, bool utf8) { return (utf8 ? 12 : 17) + (n + 2) / 3 * 4; }

// `texto` as encoded words, the first after the blanks `antes` (folded as Plegador::Blancos
// does), the others after a blank or a fold: each word at most 75 bytes, each line at most 76,
// no UTF-8 character split.
void PonCodificadas(Plegador& p, std::string_view antes, std::string_view texto, bool primera) {
  const bool utf8 = EsUtf8Valido(texto);
  const std::string_view inicio = utf8 ? "=?UTF-8?B?" : "=?ISO-8859-1?B?";
  auto largo_caracter = [&](size_t i) { return LargoCaracter(texto, i, utf8); };
  p.Blancos(antes, LargoCodificada(largo_caracter(0), utf8), primera ? kMaxLinea : kPliegueCodificado);
  std::string palabra;
  size_t i = 0;
  while (i < texto.size()) {
    if (i > 0) {
      const size_t minimo = LargoCodificada(largo_caracter(i), utf8);
      if (p.largo() + 1 + minimo > kPliegueCodificado) p.Salto();
      p.Pon(" ");
    }
    const size_t sitio =
        std::min(kMaxPalabraCodificada, kPliegueCodificado > p.largo() ? kPliegueCodificado - p.largo() : 0);
    size_t fin = i + largo_caracter(i);  // one character at least, whatever the room
    while (fin < texto.size()) {
      const size_t n = largo_caracter(fin);
      if (LargoCodificada(fin + n - i, utf8) > sitio) break;
      fin += n;
    }
    palabra.assign(inicio);
    palabra += Base64(texto.substr(i, fin - i));
    palabra += "?=";
    p.Pon(palabra, true);
    i = fin;
  }
}

}  // namespace

std::string LineaCabecera(std::string_view nombre, std::string_view valor) {
  std::string r;
  AgregaLineaCabecera(r, nombre, valor);
  return r;
}

void AgregaLineaCabecera(std::string& r, std::string_view nombre, std::string_view valor) {
  const ClaseCampo clase = ClaseDe(nombre);
  Plegador p(r, nombre);
  Sintaxis sintaxis;
  std::string primeros_blancos, texto;
  bool anterior_codificada = false;  // the last word written is one a reader decodes
  bool sin_blancos = false;          // the blanks of this token went into the encoded words before
  Token t = SiguienteToken(valor, 0);
  const bool vacio = t.palabra.empty() && t.blancos.empty();
  for (bool primera = true; !t.palabra.empty() || !t.blancos.empty(); primera = false) {
    const Token sig = SiguienteToken(valor, t.fin);
    // The blanks before the first word include the one written after the colon.
    std::string_view blancos = t.blancos;
    if (primera) {
      primeros_blancos.assign(" ");
      primeros_blancos.append(t.blancos);
      blancos = primeros_blancos;
    } else if (sin_blancos) {
      blancos = " ";
    }
    sin_blancos = false;
    const std::string_view w = t.palabra;
    const bool ya_codificada = PareceCodificada(w);
    // The line the word goes on: this one for the first word, otherwise one of its own at worst.
    const size_t linea = primera ? p.largo() + blancos.size() + w.size() : 1 + w.size();
    const bool larga = linea > (ya_codificada ? kPliegueCodificado : kPliegue) &&
                       (!ya_codificada || linea > kMaxLinea);
    const bool cabe = linea <= kMaxLinea || (primera && 1 + w.size() <= kMaxLinea);
    bool codificable = false;
    std::string_view contenido = w;
    if (larga && !w.empty()) {
      if (clase == ClaseCampo::Texto) {
        codificable = true;
      } else if (clase == ClaseCampo::Direcciones && sintaxis.Fuera()) {
        if (EsAtomo(w)) {
          codificable = true;
        } else if (EsEntrecomillada(w, texto)) {
          codificable = true;
          contenido = texto;
        }
      }
      // A word the value already holds encoded stays as it is where it fits: readers decode it.
      if (ya_codificada && cabe) codificable = false;
    }
    if (codificable) {
      // Blanks between two encoded words are dropped by readers: those that separate this word
      // from an encoded neighbour travel inside this word's encoded text.
      std::string carga;
      std::string_view antes = blancos;
      if (anterior_codificada && !primera) {
        carga.append(blancos);
        antes = " ";
      }
      carga.append(contenido);
      if (!sig.palabra.empty() && PareceCodificada(sig.palabra) && 1 + sig.palabra.size() <= kMaxLinea) {
        carga.append(sig.blancos);
        sin_blancos = true;
      }
      PonCodificadas(p, antes, carga, primera);
      anterior_codificada = true;
    } else if (cabe || w.empty()) {
      const size_t limite = primera ? kMaxLinea
                            : (ya_codificada || p.LineaCodificada()) ? kPliegueCodificado
                                                                      : kPliegue;
      p.Blancos(blancos, w.size(), limite);
      p.Pon(w, ya_codificada);
      anterior_codificada = ya_codificada;
    } else {
      // Longer than any line and not a word encoded words may stand for (an identifier, an
      // address): cut into lines of 998 bytes, so a reader sees blanks inside it.
      p.Blancos(blancos, w.size(), primera ? kMaxLinea : kPliegue);
      std::string_view resto = w;
      while (!resto.empty()) {
        if (p.largo() >= kMaxLinea) {
          p.Salto();
          p.Pon(" ");
        }
        const size_t k = std::min(kMaxLinea - p.largo(), resto.size());
        p.Pon(resto.substr(0, k));
        resto.remove_prefix(k);
      }
      anterior_codificada = false;
    }
    if (clase == ClaseCampo::Direcciones) {
      sintaxis.Avanza(t.blancos);
      sintaxis.Avanza(w);
    }
    t = sig;
  }
  if (vacio) r += ' ';
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

std::string_view Recorta(std::string_view s) {
  while (!s.empty() && EsBlanco(s.front())) s.remove_prefix(1);
  while (!s.empty() && EsBlanco(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace tablon::store::mensaje
