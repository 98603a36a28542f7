#include "store/imap/respuesta_imap.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <limits>

#include "core/ascii.h"
#include "core/traduce.h"
#include "red/linea_legible.h"
#include "text/utf8.h"

namespace tablon::store::imap {

namespace {

Error Excedida(const std::string& que) {
  return Error(errnum::kProtocolo,
               Formatea(Traduce("El servidor IMAP envió %s: la respuesta se interrumpe y se cierra la conexión"),
                        {que}));
}

Error LiteralExcesivo(std::uint64_t n, std::uint64_t limite) {
  return Excedida(Formatea(Traduce("un literal de %s bytes, más de los %s permitidos"),
                           {std::to_string(n), std::to_string(limite)}));
}

std::string Mayusculas(std::string_view t) {
  std::string r(t);
  for (char& c : r) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - ('a' - 'A'));
  }
  return r;
}

// Digits only, at most `maximo`; nullopt otherwise.
std::optional<std::uint64_t> Digitos(std::string_view t, std::uint64_t maximo) {
  if (t.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (maximo - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

constexpr std::uint64_t kMaximo32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint64_t kMaximo64 = std::numeric_limits<std::int64_t>::max();

// The size a line announces when it ends with a literal's header ("{N}", "{N+}", "~{N}"): a
// number too large for 64 bits is the largest, which no bound allows.
std::optional<std::uint64_t> LiteralAlFinal(std::string_view l) {
  if (l.empty() || l.back() != '}') return std::nullopt;
  l.remove_suffix(1);
  if (!l.empty() && l.back() == '+') l.remove_suffix(1);
  std::size_t n = 0;
  while (n < l.size() && l[l.size() - 1 - n] >= '0' && l[l.size() - 1 - n] <= '9') ++n;
  if (n == 0 || n == l.size() || l[l.size() - 1 - n] != '{') return std::nullopt;
  const auto v = Digitos(l.substr(l.size() - n), std::numeric_limits<std::uint64_t>::max());
  return v ? *v : std::numeric_limits<std::uint64_t>::max();
}

// Bytes an atom may hold here: any but blanks, controls and the bytes that open or close
// something else. "]" is kept (astrings hold it), and so are the list wildcards and 8-bit bytes.
bool EsDeAtomo(unsigned char c) {
  return c > 0x20 && c != 0x7f && c != '(' && c != ')' && c != '{' && c != '"' && c != '[';
}

// An atom as a command may send it (ASTRING-CHAR): no wildcards, no quoted-specials, 7-bit.
bool EsDeAtomoEstricto(unsigned char c) {
  return EsDeAtomo(c) && c < 0x80 && c != '%' && c != '*' && c != '\\';
}

// Reads one response's bytes. Recursion goes no deeper than the list nesting bound.
class Analizador {
 public:
  Analizador(std::string_view t, const Limites& limites) : t_(t), limites_(limites) {}

  Respuesta Analiza() {
    Respuesta r;
    if (Toma('+')) {
      r.clase = ClaseRespuesta::kContinuacion;
      LeeTexto(r);
      return r;
    }
    if (Toma('*')) {
      if (!Toma(' ')) Falla(Traduce("falta el espacio tras «*»"));
      std::string_view palabra = Atomo();
      if (!palabra.empty() && palabra.front() >= '0' && palabra.front() <= '9') {
        r.numero = AnalizaNumero(palabra);
        if (!r.numero) Falla(Traduce("número no válido"));
        if (!Toma(' ')) Falla(Traduce("falta el nombre tras el número"));
        palabra = Atomo();
      }
      if (palabra.empty()) Falla(Traduce("falta el nombre de la respuesta"));
      r.nombre = Mayusculas(palabra);
      if (!r.numero && (r.nombre == "OK" || r.nombre == "NO" || r.nombre == "BAD" ||
                        r.nombre == "PREAUTH" || r.nombre == "BYE")) {
        LeeTexto(r);
      } else {
        LeeSecuencia(r.datos, 0);
      }
      return r;
    }
    r.clase = ClaseRespuesta::kEtiquetada;
    const std::string_view etiqueta = Atomo();
    if (etiqueta.empty()) Falla(Traduce("falta la etiqueta"));
    for (char c : etiqueta) {
      if (!EsDeAtomoEstricto(static_cast<unsigned char>(c)) || c == '+') Falla(Traduce("etiqueta no válida"));
    }
    r.etiqueta = etiqueta;
    if (!Toma(' ')) Falla(Traduce("falta el estado tras la etiqueta"));
    r.nombre = Mayusculas(Atomo());
    if (r.nombre != "OK" && r.nombre != "NO" && r.nombre != "BAD") Falla(Traduce("estado no válido"));
    LeeTexto(r);
    return r;
  }

 private:
  [[noreturn]] void Falla(const char* que) const {
    // The excerpt starts at the line of the fault, or a little before the fault on a long line.
    std::size_t desde = t_.rfind('\n', i_ == 0 ? 0 : i_ - 1);
    desde = desde == std::string_view::npos || i_ == 0 ? 0 : desde + 1;
    if (i_ - desde > 80) desde = i_ - 80;
    throw Error(errnum::kProtocolo,
                Formatea(Traduce("El servidor IMAP envió una respuesta mal formada (%s, byte %s): %s"),
                         {que, std::to_string(i_), red::ExtractoLegible(t_.substr(desde), 160)}));
  }

  bool Fin() const { return i_ >= t_.size(); }
  unsigned char Actual() const { return Fin() ? 0 : static_cast<unsigned char>(t_[i_]); }
  bool Toma(char c) {
    if (Fin() || t_[i_] != c) return false;
    ++i_;
    return true;
  }

  std::string_view Atomo() {
    const std::size_t desde = i_;
    while (!Fin() && EsDeAtomo(Actual())) ++i_;
    return t_.substr(desde, i_ - desde);
  }

  void Cuenta() {
    if (++elementos_ > limites_.elementos) {
      throw Excedida(Formatea(Traduce("más de %s valores en una respuesta"), {std::to_string(limites_.elementos)}));
    }
  }

  // resp-text: an optional "[CODE args]", then free text to the end.
  void LeeTexto(Respuesta& r) {
    Toma(' ');
    if (Toma('[')) {
      const std::size_t desde = i_;
      while (!Fin() && Actual() != ' ' && Actual() != ']' && Actual() > 0x20 && Actual() != 0x7f) ++i_;
      if (i_ == desde) Falla(Traduce("código de respuesta vacío"));
      Codigo c;
      c.nombre = Mayusculas(t_.substr(desde, i_ - desde));
      if (Toma(' ')) {
        const std::size_t args = i_;
        while (!Fin() && Actual() != ']' && Actual() != '\r' && Actual() != '\n') ++i_;
        c.argumentos = t_.substr(args, i_ - args);
      }
      if (!Toma(']')) Falla(Traduce("código de respuesta sin cerrar"));
      r.codigo = std::move(c);
      Toma(' ');
    }
    r.texto = t_.substr(i_);
    i_ = t_.size();
  }

  // Values separated by blanks up to the end (`profundidad` 0) or to the ")" closing a list.
  void LeeSecuencia(std::vector<Valor>& valores, std::size_t profundidad) {
    for (;;) {
      bool espacio = false;
      while (Toma(' ')) espacio = true;
      if (Fin()) {
        if (profundidad > 0) Falla(Traduce("lista sin cerrar"));
        return;
      }
      if (Actual() == ')') {
        if (profundidad == 0) Falla(Traduce("paréntesis de cierre sin abrir"));
        ++i_;
        return;
      }
      if (!valores.empty() && !espacio) Falla(Traduce("falta un espacio entre valores"));
      if (profundidad == 0 && valores.empty() && !espacio) Falla(Traduce("falta un espacio tras el nombre"));
      valores.push_back(LeeValor(profundidad));
    }
  }

  Valor LeeValor(std::size_t profundidad) {
    Cuenta();
    Valor v;
    const unsigned char c = Actual();
    if (c == '(') {
      if (profundidad >= limites_.profundidad) {
        throw Excedida(
            Formatea(Traduce("listas anidadas a más de %s niveles"), {std::to_string(limites_.profundidad)}));
      }
      ++i_;
      v.tipo = TipoValor::kLista;
      LeeSecuencia(v.elementos, profundidad + 1);
    } else if (c == '"') {
      v.tipo = TipoValor::kCadena;
      v.texto = LeeCadena();
    } else if (c == '{' || (c == '~' && i_ + 1 < t_.size() && t_[i_ + 1] == '{')) {
      v.tipo = TipoValor::kLiteral;
      v.texto = LeeLiteral();
    } else if (EsDeAtomo(c)) {
      LeeAtomo(v);
    } else {
      Falla(Traduce("carácter inesperado"));
    }
    return v;
  }

  void LeeAtomo(Valor& v) {
    v.texto = Atomo();
    if (Toma('[')) {
      v.tipo = TipoValor::kAtomo;
      v.tiene_seccion = true;
      const std::size_t desde = i_;
      bool comillas = false;
      for (;; ++i_) {
        if (Fin() || Actual() == '\r' || Actual() == '\n') Falla(Traduce("sección sin cerrar"));
        if (comillas && Actual() == '\\') {
          ++i_;
        } else if (Actual() == '"') {
          comillas = !comillas;
        } else if (!comillas && Actual() == ']') {
          break;
        }
      }
      v.seccion = t_.substr(desde, i_ - desde);
      ++i_;
      if (Toma('<')) {
        const std::size_t n = i_;
        while (!Fin() && Actual() >= '0' && Actual() <= '9') ++i_;
        v.origen = AnalizaNumero64(t_.substr(n, i_ - n));
        if (!v.origen || !Toma('>')) Falla(Traduce("origen de sección no válido"));
      }
    } else if (const auto n = AnalizaNumero64(v.texto)) {
      v.tipo = TipoValor::kNumero;
      v.numero = *n;
    } else {
      v.tipo = IgualSinCaso(v.texto, "NIL") ? TipoValor::kNil : TipoValor::kAtomo;
    }
    if (!Fin() && Actual() != ' ' && Actual() != ')') Falla(Traduce("carácter inesperado tras un átomo"));
  }

  std::string LeeCadena() {
    ++i_;  // the opening quote
    std::string s;
    for (;;) {
      if (Fin()) Falla(Traduce("cadena sin cerrar"));
      const char c = t_[i_++];
      if (c == '"') break;
      if (c == '\0' || c == '\r' || c == '\n') Falla(Traduce("byte no permitido en una cadena"));
      if (c == '\\') {
        if (Fin() || (t_[i_] != '"' && t_[i_] != '\\')) Falla(Traduce("escape no válido en una cadena"));
        s += t_[i_++];
      } else {
        s += c;
      }
    }
    if (!Fin() && Actual() != ' ' && Actual() != ')') Falla(Traduce("carácter inesperado tras una cadena"));
    return s;
  }

  std::string LeeLiteral() {
    Toma('~');
    ++i_;  // the opening brace
    const std::size_t desde = i_;
    while (!Fin() && Actual() >= '0' && Actual() <= '9') ++i_;
    const std::string_view digitos = t_.substr(desde, i_ - desde);
    Toma('+');
    if (digitos.empty() || !Toma('}')) Falla(Traduce("cabecera de literal no válida"));
    const auto n = Digitos(digitos, std::numeric_limits<std::uint64_t>::max());
    const std::uint64_t tamano = n ? *n : std::numeric_limits<std::uint64_t>::max();
    if (tamano > limites_.literal) throw LiteralExcesivo(tamano, limites_.literal);
    Toma('\r');
    if (!Toma('\n')) Falla(Traduce("cabecera de literal que no termina la línea"));
    if (tamano > t_.size() - i_) Falla(Traduce("literal incompleto"));
    std::string s(t_.substr(i_, static_cast<std::size_t>(tamano)));
    i_ += static_cast<std::size_t>(tamano);
    if (!Fin() && Actual() != ' ' && Actual() != ')') Falla(Traduce("carácter inesperado tras un literal"));
    return s;
  }

  std::string_view t_;
  std::size_t i_ = 0;
  const Limites& limites_;
  std::size_t elementos_ = 0;
};

}  // namespace

Respuesta AnalizaRespuesta(std::string_view bytes, const Limites& limites) {
  return Analizador(bytes, limites).Analiza();
}

Respuestas::Respuestas(Limites limites) : limites_(limites) {}

void Respuestas::CompruebaError() const {
  if (error_) throw *error_;
}

void Respuestas::Falla(Error error) {
  error_ = error;
  throw error;
}

char* Respuestas::Reserva(std::size_t n) {
  CompruebaError();
  return buffer_.Reserva(n);
}

void Respuestas::Agregados(std::size_t n) {
  CompruebaError();
  buffer_.Agregados(n);
}

void Respuestas::Agrega(std::string_view datos) {
  CompruebaError();
  buffer_.Agrega(datos);
}

std::optional<Respuesta> Respuestas::Siguiente() {
  CompruebaError();
  const auto linea_larga = [this] {
    return Excedida(Formatea(Traduce("una línea de más de %s bytes"), {std::to_string(limites_.linea)}));
  };
  const auto respuesta_larga = [this] {
    return Excedida(Formatea(Traduce("una respuesta de más de %s bytes"), {std::to_string(limites_.respuesta)}));
  };
  for (;;) {
    const char* base = buffer_.Datos();
    const std::size_t pendientes = buffer_.Pendientes();
    if (en_literal_) {
      if (pendientes < fin_literal_) return std::nullopt;
      en_literal_ = false;
      linea_ = buscado_ = fin_literal_;
    }
    const void* lf = pendientes > buscado_
                         ? std::memchr(base + buscado_, '\n', pendientes - buscado_)
                         : nullptr;
    if (!lf) {
      // Checked on what is pending, so a line or response that never ends fails as soon as it
      // is too long to be valid, not when memory runs out. + 1: a CR whose LF is to come.
      buscado_ = pendientes;
      if (pendientes - linea_ > limites_.linea + 1) Falla(linea_larga());
      if (pendientes >= limites_.respuesta) Falla(respuesta_larga());
      return std::nullopt;
    }
    const std::size_t salto = static_cast<std::size_t>(static_cast<const char*>(lf) - base);
    std::size_t fin_util = salto;
    if (fin_util > linea_ && base[fin_util - 1] == '\r') --fin_util;
    if (fin_util - linea_ > limites_.linea) Falla(linea_larga());
    if (salto + 1 > limites_.respuesta) Falla(respuesta_larga());
    if (const auto n = LiteralAlFinal(std::string_view(base + linea_, fin_util - linea_))) {
      if (*n > limites_.literal) Falla(LiteralExcesivo(*n, limites_.literal));
      if (*n > limites_.respuesta - (salto + 1)) Falla(respuesta_larga());
      en_literal_ = true;
      fin_literal_ = salto + 1 + static_cast<std::size_t>(*n);
      continue;
    }
    const std::string_view entera(base, fin_util);
    buffer_.Consume(salto + 1);  // `entera` stays valid: nothing moves before the next Reserva
    linea_ = buscado_ = 0;
    try {
      return AnalizaRespuesta(entera, limites_);
    } catch (const Error& e) {
      Falla(e);
    }
  }
}

std::optional<std::uint32_t> AnalizaNumero(std::string_view texto) {
  const auto v = Digitos(texto, kMaximo32);
  if (!v) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

std::optional<std::uint32_t> AnalizaNzNumero(std::string_view texto) {
  if (texto.empty() || texto.front() == '0') return std::nullopt;
  return AnalizaNumero(texto);
}

std::optional<std::uint64_t> AnalizaNumero64(std::string_view texto) {
  return Digitos(texto, kMaximo64);
}

namespace {

[[noreturn]] void FallaDatos(const Respuesta& r, const std::string& que) {
  throw Error(errnum::kProtocolo,
              Formatea(Traduce("El servidor IMAP envió una respuesta %s mal formada: %s"), {r.nombre, que}));
}

void CompruebaNombre(const Respuesta& r, std::initializer_list<std::string_view> nombres) {
  const bool es = r.clase == ClaseRespuesta::kNoEtiquetada &&
                  std::find(nombres.begin(), nombres.end(), r.nombre) != nombres.end();
  if (!es) {
    throw Error(errnum::kArgumentoNoValido,
                r.nombre.empty()
                    ? Formatea(Traduce("Se esperaba una respuesta %s y no una continuación"), {*nombres.begin()})
                    : Formatea(Traduce("Se esperaba una respuesta %s y no %s"), {*nombres.begin(), r.nombre}));
  }
}

// An atom, a number or NIL without a section: a flag, an attribute, an item's name.
bool EsPalabra(const Valor& v) {
  return !v.tiene_seccion &&
         (v.tipo == TipoValor::kAtomo || v.tipo == TipoValor::kNumero || v.tipo == TipoValor::kNil);
}

std::vector<std::string> Palabras(const Respuesta& r, const Valor& v, const char* que) {
  if (v.tipo != TipoValor::kLista) FallaDatos(r, Formatea(Traduce("%s no es una lista"), {que}));
  std::vector<std::string> palabras;
  for (const Valor& e : v.elementos) {
    if (!EsPalabra(e)) FallaDatos(r, Formatea(Traduce("%s con un valor que no es un átomo"), {que}));
    palabras.push_back(e.texto);
  }
  return palabras;
}

// A mailbox name: an atom (NIL included: a mailbox may be called so), a string or a literal.
std::string NombreBuzon(const Respuesta& r, const Valor& v) {
  if (!(EsPalabra(v) || v.tipo == TipoValor::kCadena || v.tipo == TipoValor::kLiteral)) {
    FallaDatos(r, Traduce("nombre de buzón no válido"));
  }
  return IgualSinCaso(v.texto, "INBOX") ? std::string("INBOX") : v.texto;
}

template <typename T>
void Fija(std::optional<T>& campo, T valor, const Respuesta& r, const std::string& nombre) {
  if (campo && *campo != valor) FallaDatos(r, Formatea(Traduce("%s repetido con otro valor"), {nombre}));
  campo = std::move(valor);
}

}  // namespace

Fetch AnalizaFetch(Respuesta r) {
  CompruebaNombre(r, {"FETCH"});
  Fetch f;
  if (!r.numero || *r.numero == 0) FallaDatos(r, Traduce("número de mensaje no válido"));
  f.numero = *r.numero;
  if (r.datos.size() != 1 || r.datos[0].tipo != TipoValor::kLista) FallaDatos(r, Traduce("no es una lista"));
  std::vector<Valor>& items = r.datos[0].elementos;
  if (items.size() % 2 != 0) FallaDatos(r, Traduce("un elemento sin valor"));
  for (std::size_t k = 0; k < items.size(); k += 2) {
    Valor& n = items[k];
    Valor& v = items[k + 1];
    if (n.tipo != TipoValor::kAtomo) FallaDatos(r, Traduce("nombre de elemento no válido"));
    const std::string nombre = Mayusculas(n.texto);
    const auto numero = [&](std::uint64_t maximo) {
      const auto x = v.tipo == TipoValor::kNumero && v.numero <= maximo && !v.tiene_seccion
                         ? std::optional<std::uint64_t>(v.numero)
                         : std::nullopt;
      if (!x) FallaDatos(r, Formatea(Traduce("%s no es un número válido"), {nombre}));
      return *x;
    };
    const bool es_seccion = (nombre == "BODY" && n.tiene_seccion) ||
                            (nombre == "BINARY" && n.tiene_seccion) ||
                            (!n.tiene_seccion && (nombre == "RFC822" || nombre == "RFC822.HEADER" ||
                                                  nombre == "RFC822.TEXT"));
    if (es_seccion) {
      SeccionFetch s{nombre, n.seccion, n.origen, std::nullopt};
      if (v.tipo == TipoValor::kCadena || v.tipo == TipoValor::kLiteral) {
        s.bytes = std::move(v.texto);
      } else if (v.tipo != TipoValor::kNil) {
        FallaDatos(r, Formatea(Traduce("%s sin bytes ni NIL"), {nombre}));
      }
      for (const SeccionFetch& o : f.secciones) {
        if (o.nombre == s.nombre && o.seccion == s.seccion && o.origen == s.origen) {
          FallaDatos(r, Formatea(Traduce("%s[%s] repetido"), {nombre, s.seccion}));
        }
      }
      f.secciones.push_back(std::move(s));
    } else if (n.tiene_seccion) {
      f.otros.emplace_back(nombre + "[" + n.seccion + "]", std::move(v));
    } else if (nombre == "UID") {
      if (numero(kMaximo32) == 0) FallaDatos(r, "UID 0");
      Fija(f.uid, static_cast<std::uint32_t>(v.numero), r, nombre);
    } else if (nombre == "FLAGS") {
      Fija(f.flags, Palabras(r, v, "FLAGS"), r, nombre);
    } else if (nombre == "MODSEQ") {
      if (v.tipo != TipoValor::kLista || v.elementos.size() != 1) {
        FallaDatos(r, Formatea(Traduce("%s no válido"), {"MODSEQ"}));
      }
      Valor unico = std::move(v.elementos[0]);
      v = std::move(unico);
      Fija(f.modseq, numero(kMaximo64), r, nombre);
    } else if (nombre == "INTERNALDATE") {
      if (v.tipo != TipoValor::kCadena) FallaDatos(r, Formatea(Traduce("%s no es una cadena"), {"INTERNALDATE"}));
      Fija(f.internaldate, std::move(v.texto), r, nombre);
    } else if (nombre == "RFC822.SIZE") {
      Fija(f.tamano, numero(kMaximo64), r, nombre);
    } else {
      f.otros.emplace_back(nombre, std::move(v));
    }
  }
  return f;
}

Buzon AnalizaBuzon(const Respuesta& r) {
  CompruebaNombre(r, {"LIST", "LSUB"});
  if (r.datos.size() < 3) FallaDatos(r, Traduce("faltan valores"));
  Buzon b;
  b.atributos = Palabras(r, r.datos[0], Traduce("los atributos"));
  const Valor& d = r.datos[1];
  if (d.tipo == TipoValor::kCadena && d.texto.size() == 1) {
    b.delimitador = d.texto[0];
  } else if (d.tipo != TipoValor::kNil) {
    FallaDatos(r, Traduce("delimitador no válido"));
  }
  b.nombre = NombreBuzon(r, r.datos[2]);
  for (std::size_t k = 3; k < r.datos.size(); ++k) {
    if (r.datos[k].tipo != TipoValor::kLista) FallaDatos(r, Traduce("datos extendidos no válidos"));
  }
  return b;
}

EstadoBuzon AnalizaEstadoBuzon(const Respuesta& r) {
  CompruebaNombre(r, {"STATUS"});
  if (r.datos.size() != 2 || r.datos[1].tipo != TipoValor::kLista) FallaDatos(r, Traduce("faltan valores"));
  EstadoBuzon e;
  e.nombre = NombreBuzon(r, r.datos[0]);
  const std::vector<Valor>& items = r.datos[1].elementos;
  if (items.size() % 2 != 0) FallaDatos(r, Traduce("un elemento sin valor"));
  std::vector<std::string> vistos;
  for (std::size_t k = 0; k < items.size(); k += 2) {
    if (!EsPalabra(items[k]) || items[k].tipo == TipoValor::kNil) FallaDatos(r, Traduce("nombre no válido"));
    const std::string nombre = Mayusculas(items[k].texto);
    if (std::find(vistos.begin(), vistos.end(), nombre) != vistos.end()) {
      FallaDatos(r, Formatea(Traduce("%s repetido"), {nombre}));
    }
    vistos.push_back(nombre);
    const Valor& v = items[k + 1];
    const bool es_numero = v.tipo == TipoValor::kNumero;
    const auto n32 = [&](std::optional<std::uint32_t>& campo, bool nz) {
      if (!es_numero || v.numero > kMaximo32 || (nz && v.numero == 0)) {
        FallaDatos(r, Formatea(Traduce("%s no válido"), {nombre}));
      }
      campo = static_cast<std::uint32_t>(v.numero);
    };
    const auto n64 = [&](std::optional<std::uint64_t>& campo) {
      if (!es_numero) FallaDatos(r, Formatea(Traduce("%s no válido"), {nombre}));
      campo = v.numero;
    };
    if (nombre == "MESSAGES") n32(e.mensajes, false);
    else if (nombre == "RECENT") n32(e.recientes, false);
    else if (nombre == "UIDNEXT") n32(e.uid_siguiente, true);
    else if (nombre == "UIDVALIDITY") n32(e.uid_validez, true);
    else if (nombre == "UNSEEN") n32(e.no_vistos, false);
    else if (nombre == "DELETED") n32(e.borrados, false);
    else if (nombre == "HIGHESTMODSEQ") n64(e.modseq_mayor);
    else if (nombre == "SIZE") n64(e.tamano);
  }
  return e;
}

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool EsImprimible(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

void AgregaUtf8(std::string& s, char32_t cp) {
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xc0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xe0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    s += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    s += static_cast<char>(0xf0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
    s += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

}  // namespace

std::optional<std::string> CodificaNombreBuzon(std::string_view utf8) {
  std::string r;
  std::size_t i = 0;
  while (i < utf8.size()) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (EsImprimible(c)) {
      r += c == '&' ? "&-" : std::string(1, static_cast<char>(c));
      ++i;
      continue;
    }
    // The whole run of characters that are not printable ASCII, as UTF-16 in one base64 run.
    std::uint32_t bits = 0;
    int n = 0;
    const auto agrega = [&](std::uint32_t unidad) {
      bits = (bits << 16) | unidad;
      n += 16;
      while (n >= 6) {
        n -= 6;
        r += kBase64[(bits >> n) & 0x3f];
      }
      bits &= (1u << n) - 1;
    };
    r += '&';
    while (i < utf8.size() && !EsImprimible(static_cast<unsigned char>(utf8[i]))) {
      char32_t cp;
      const std::size_t largo = SecuenciaUtf8(utf8.substr(i), cp);
      if (largo == 0 || cp == 0) return std::nullopt;
      i += largo;
      if (cp >= 0x10000) {
        agrega(0xd800 + ((cp - 0x10000) >> 10));
        agrega(0xdc00 + ((cp - 0x10000) & 0x3ff));
      } else {
        agrega(static_cast<std::uint32_t>(cp));
      }
    }
    if (n > 0) r += kBase64[(bits << (6 - n)) & 0x3f];
    r += '-';
  }
  return r;
}

std::optional<std::string> DecodificaNombreBuzon(std::string_view m) {
  std::string r;
  std::size_t i = 0;
  bool tras_base64 = false;  // a base64 run right before: another one would have joined it
  while (i < m.size()) {
    const auto c = static_cast<unsigned char>(m[i]);
    if (!EsImprimible(c)) return std::nullopt;
    if (c != '&') {
      r += static_cast<char>(c);
      ++i;
      tras_base64 = false;
      continue;
    }
    const std::size_t guion = m.find('-', i + 1);
    if (guion == std::string_view::npos) return std::nullopt;
    const std::string_view b64 = m.substr(i + 1, guion - i - 1);
    i = guion + 1;
    if (b64.empty()) {
      r += '&';
      tras_base64 = false;
      continue;
    }
    if (tras_base64) return std::nullopt;
    tras_base64 = true;
    std::uint32_t bits = 0, alto = 0;  // alto: a high surrogate waiting for its pair
    int n = 0;
    for (char d : b64) {
      const char* p = d ? std::strchr(kBase64, d) : nullptr;
      if (!p) return std::nullopt;
      bits = (bits << 6) | static_cast<std::uint32_t>(p - kBase64);
      n += 6;
      if (n < 16) continue;
      n -= 16;
      const std::uint32_t u = (bits >> n) & 0xffff;
      bits &= (1u << n) - 1;
      char32_t cp;
      if (alto) {
        if (u < 0xdc00 || u > 0xdfff) return std::nullopt;
        cp = 0x10000 + ((alto - 0xd800) << 10) + (u - 0xdc00);
        alto = 0;
      } else if (u >= 0xd800 && u <= 0xdbff) {
        alto = u;
        continue;
      } else if (u >= 0xdc00 && u <= 0xdfff) {
        return std::nullopt;
      } else {
        cp = u;
      }
      // Printable ASCII must stand for itself, and no name holds U+0000.
      if (cp == 0 || (cp < 0x80 && EsImprimible(static_cast<unsigned char>(cp)))) return std::nullopt;
      AgregaUtf8(r, cp);
    }
    // Fewer than 6 bits left over, all zero: the run is as short as its characters allow.
    if (alto || n >= 6 || bits != 0) return std::nullopt;
  }
  return r;
}

std::string EscribeCadena(std::string_view texto, Literal literal) {
  if (texto.find('\0') != std::string_view::npos) {
    throw Error(errnum::kArgumentoNoValido, Traduce("Una cadena IMAP no puede contener el byte 0"));
  }
  const bool citable = std::all_of(texto.begin(), texto.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80 && c != '\r' && c != '\n';
  });
  std::string r;
  if (citable) {
    r.reserve(texto.size() + 2);
    r += '"';
    for (char c : texto) {
      if (c == '"' || c == '\\') r += '\\';
      r += c;
    }
    r += '"';
    return r;
  }
  r = "{" + std::to_string(texto.size()) + (literal == Literal::kSinEspera ? "+" : "") + "}\r\n";
  r += texto;
  return r;
}

std::string EscribeAstring(std::string_view texto, Literal literal) {
  const bool atomo = !texto.empty() && !IgualSinCaso(texto, "NIL") &&
                     std::all_of(texto.begin(), texto.end(), [](char c) {
                       return EsDeAtomoEstricto(static_cast<unsigned char>(c));
                     });
  return atomo ? std::string(texto) : EscribeCadena(texto, literal);
}

}  // namespace tablon::store::imap
