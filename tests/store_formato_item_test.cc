// An item as file bytes and back, without any file: display headers, exact headers, folding,
// body forms, and mail written by someone else; the folder filter language.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "core/ascii.h"
#include "core/fecha.h"
#include "store/mensaje/bloque_encabezados.h"
#include "store/mensaje/filtro.h"
#include "store/mensaje/formato_item.h"
#include "store/mensaje/texto_cabecera.h"
#include "text/utf8.h"

namespace tablon::store::mensaje {
namespace {

// The header block of a file and its header lines (unfolded), by name.
std::vector<std::string> Campo(const std::string& archivo, std::string_view nombre) {
  std::vector<std::string> r;
  for (const auto& c : LeeCampos(archivo.substr(0, FinDeCabecera(archivo)))) {
    if (IgualSinCaso(c.nombre, nombre)) r.push_back(c.valor);
  }
  return r;
}

// Every line of the header block is a field or a continuation, and none exceeds 998 bytes.
void EsCabeceraBienFormada(const std::string& archivo) {
  const std::string bloque = archivo.substr(0, FinDeCabecera(archivo));
  size_t i = 0;
  while (i < bloque.size()) {
    const size_t fin = bloque.find('\n', i);
    const std::string linea = bloque.substr(i, fin - i);
    i = fin + 1;
    if (linea.empty()) break;
    EXPECT_LE(linea.size(), 998u);
    EXPECT_EQ(linea.find_first_of(std::string("\r\0", 2)), std::string::npos) << linea;
    EXPECT_TRUE(linea[0] == ' ' || linea.find(':') != std::string::npos) << linea;
  }
}

// The value of field `nombre` as it stands in `cabecera`: from after the colon to the end of its
// last continuation line, line ends included.
std::string Crudo(const std::string& cabecera, std::string_view nombre) {
  const std::string inicio = std::string(nombre) + ":";
  size_t i = 0;
  while (i < cabecera.size() && cabecera.compare(i, inicio.size(), inicio) != 0) {
    i = cabecera.find('\n', i);
    if (i == std::string::npos) return std::string();
    ++i;
  }
  if (i >= cabecera.size()) return std::string();
  size_t fin = cabecera.find('\n', i);
  while (fin != std::string::npos && fin + 1 < cabecera.size() &&
         (cabecera[fin + 1] == ' ' || cabecera[fin + 1] == '\t')) {
    fin = cabecera.find('\n', fin + 1);
  }
  if (fin == std::string::npos) fin = cabecera.size();
  return cabecera.substr(i + inicio.size(), fin - i - inicio.size());
}

// Unfolding as RFC 5322 says: line ends removed, every blank kept; leading blanks dropped.
std::string Despliega(std::string_view crudo) {
  std::string r;
  for (char c : crudo) {
    if (c != '\n' && c != '\r') r += c;
  }
  return r.substr(std::min(r.size(), r.find_first_not_of(" \t")));
}

// One RFC 2047 encoded word's bytes, B or Q; nullopt for any other word.
std::optional<std::string> DecodificaPalabra(std::string_view w) {
  if (w.size() < 8 || w.substr(0, 2) != "=?" || w.substr(w.size() - 2) != "?=") return std::nullopt;
  const std::string_view dentro = w.substr(2, w.size() - 4);
  const size_t a = dentro.find('?');
  if (a == std::string_view::npos || a + 2 >= dentro.size() || dentro[a + 2] != '?') return std::nullopt;
  const std::string_view texto = dentro.substr(a + 3);
  if (texto.find('?') != std::string_view::npos) return std::nullopt;
  std::string bytes;
  switch (dentro[a + 1]) {
    case 'B':
    case 'b':
      if (auto d = DeBase64(texto)) bytes = *d;
      else return std::nullopt;
      break;
    case 'Q':
    case 'q':
      for (size_t i = 0; i < texto.size(); ++i) {
        if (texto[i] == '_') {
          bytes += ' ';
        } else if (texto[i] == '=' && i + 2 < texto.size()) {
          bytes += static_cast<char>(std::stoi(std::string(texto.substr(i + 1, 2)), nullptr, 16));
          i += 2;
        } else {
          bytes += texto[i];
        }
      }
      break;
    default:
      return std::nullopt;
  }
  // Each word holds whole characters of its charset.
  if (IgualSinCaso(dentro.substr(0, a), "UTF-8")) {
    EXPECT_TRUE(EsUtf8Valido(bytes)) << w;
  }
  return bytes;
}

// What a mail reader shows of a display field: unfolded, encoded words decoded, and the blanks
// between two adjacent encoded words dropped (RFC 2047 section 6.2).
std::string VistaDeLector(std::string_view crudo) {
  const std::string v = Despliega(crudo);
  std::string r;
  bool anterior = false;
  size_t i = 0;
  while (i < v.size()) {
    size_t j = i;
    while (j < v.size() && (v[j] == ' ' || v[j] == '\t')) ++j;
    size_t k = j;
    while (k < v.size() && v[k] != ' ' && v[k] != '\t') ++k;
    const auto d = DecodificaPalabra(std::string_view(v).substr(j, k - j));
    if (!(d && anterior) || k == j) r += v.substr(i, j - i);
    r += d ? *d : v.substr(j, k - j);
    anterior = d.has_value();
    i = k;
  }
  return r;
}

// Every line of `texto` within `max` bytes; with `visible` (display fields) and the usual 78,
// lines that hold an encoded word within 76 and their encoded words within 75.
void LineasCaben(const std::string& texto, size_t max, bool visible = true) {
  for (size_t i = 0, fin; i < texto.size(); i = fin + 1) {
    fin = texto.find('\n', i);
    if (fin == std::string::npos) fin = texto.size();
    const std::string linea = texto.substr(i, fin - i);
    EXPECT_LE(linea.size(), std::min<size_t>(max, 998)) << linea.substr(0, 100);
    if (visible && max <= 78 && linea.find("=?") != std::string::npos) {
      EXPECT_LE(linea.size(), 76u) << linea;
      for (size_t p = linea.find("=?"); p != std::string::npos; p = linea.find("=?", p + 2)) {
        const size_t q = linea.find("?=", p + 2);
        const size_t e = q == std::string::npos ? linea.size() : linea.find(' ', q);
        EXPECT_LE((e == std::string::npos ? linea.size() : e) - p, 75u) << linea;
      }
    }
  }
}

// The disk round trip (store_maildir_test) covers every field; here: values that could break
// the header block itself never add a header line, and very long ones stay within 998 bytes.
TEST(ItemFormato, DangerousValuesNeverBreakTheHeader) {
  const std::string valores[] = {
      "l\r\nSubject: inyectado", std::string("nul\0\n", 5), "50% ; punto y coma",
      std::string(3000, 'x') + " " + std::string(2000, '\xC3'),
  };
  for (const auto& v : valores) {
    RegistroItem r;
    r.asunto = r.remitente = v;
    r.para = {v, ""};
    r.propiedades.emplace_back(v, TipoPropiedad::Texto, true);
    r.propiedades.back().SetValue(v);
    const std::string archivo = EscribeItem(r, "");
    EsCabeceraBienFormada(archivo);
    EXPECT_EQ(Campo(archivo, "Subject").size(), 1u);
    const RegistroItem l = LeeCabeceraItem(archivo).registro;
    EXPECT_EQ(l.asunto, v);
    EXPECT_EQ(l.para, r.para);
    ASSERT_EQ(l.propiedades.size(), 1u);
    EXPECT_EQ(l.propiedades[0].Name(), v);
    EXPECT_EQ(l.propiedades[0].Value(), r.propiedades[0].Value());
  }
}

TEST(ItemFormato, DisplayHeaders) {
  struct Caso {
    std::string asunto, visible;
  } casos[] = {
      {"Hola mundo", "Hola mundo"},
      {"=?ISO-8859-1?Q?Caf=E9?=", "=?ISO-8859-1?Q?Caf=E9?="},  // the client decodes it
      {"Café", "=?UTF-8?B?Q2Fmw6k=?="},
      {"Caf\xE9", "=?ISO-8859-1?B?Q2Fm6Q==?="},
      {"uno\r\nSubject: inyectado", "uno  Subject: inyectado"},
      {std::string("a\0b\tc", 5), "a b c"},
      {"  recorte  ", "recorte"},
  };
  for (const auto& c : casos) {
    RegistroItem r;
    r.asunto = c.asunto;
    const std::string archivo = EscribeItem(r, "");
    EsCabeceraBienFormada(archivo);
    EXPECT_EQ(Campo(archivo, "Subject"), std::vector<std::string>{c.visible}) << c.asunto;
  }
  // An address keeps its <addr> part readable; only the phrase is encoded.
  EXPECT_EQ(TextoVisible("José Pérez <jose@example.com>", true),
            "=?UTF-8?B?Sm9zw6kgUMOpcmV6?= <jose@example.com>");
}

TEST(ItemFormato, LongEncodedWordsNeverSplitACharacter) {
  std::string largo;
  for (int i = 0; i < 100; ++i) largo += "ñá€";
  // The display form of an 8-bit value, and a word too long for a line encoded by the fold.
  const std::string sin_cabecera = LineaCabecera("Subject", largo).substr(9);
  for (const std::string& visible : {TextoVisible(largo), sin_cabecera}) {
    std::string recompuesto;
    size_t i = 0;
    while (i < visible.size()) {
      size_t fin = visible.find_first_of(" \n", i);
      if (fin == std::string::npos) fin = visible.size();
      const std::string palabra = visible.substr(i, fin - i);
      i = fin + 1;
      if (palabra.empty()) continue;
      EXPECT_LE(palabra.size(), 75u);
      ASSERT_EQ(palabra.substr(0, 10), "=?UTF-8?B?");
      const auto bytes = DeBase64(palabra.substr(10, palabra.size() - 12));
      ASSERT_TRUE(bytes.has_value());
      EXPECT_TRUE(EsUtf8Valido(*bytes)) << palabra;
      recompuesto += *bytes;
    }
    EXPECT_EQ(recompuesto, largo);
  }
}

TEST(ItemFormato, FoldingAndUnfolding) {
  std::string palabras;
  for (int i = 0; i < 300; ++i) palabras += "palabra" + std::to_string(i) + " ";
  palabras.pop_back();
  const std::string linea = LineaCabecera("Subject", palabras);
  EXPECT_GT(std::count(linea.begin(), linea.end(), '\n'), 20);
  for (size_t i = 0, fin; i < linea.size(); i = fin + 1) {
    fin = linea.find('\n', i);
    EXPECT_LE(fin - i, 78u);
  }
  const auto campos = LeeCampos(linea + "\n");
  ASSERT_EQ(campos.size(), 1u);
  EXPECT_EQ(campos[0].valor, palabras);  // folding only inserts line ends before blanks

  const std::string sin_blancos(5000, 'z');
  const std::string dura = LineaCabecera("References", sin_blancos);
  for (size_t i = 0, fin; i < dura.size(); i = fin + 1) {
    fin = dura.find('\n', i);
    EXPECT_LE(fin - i, 998u);
  }

  // Display fields fold only before blanks; a word too long for a line becomes encoded words
  // where the field allows them. A reader that unfolds and decodes (VistaDeLector) sees `vista`
  // (the value itself when empty), on lines of at most `max` bytes.
  const std::string x1500(1500, 'x'), a200(200, 'a'), b200(200, 'b');
  std::string utf8_largo, referencias;
  for (int i = 0; i < 150; ++i) utf8_largo += "ñ€";
  for (int i = 0; i < 40; ++i) referencias += "<" + std::to_string(i) + ".abcdefghij@news.example.com> ";
  referencias.pop_back();
  const std::string cafe_largo = "=?UTF-8?B?" + Base64(std::string(150, 'c')) + "?=";  // 212 bytes
  struct Caso {
    std::string nombre, valor, vista;
    size_t max = 78;
  } casos[] = {
      {"Subject", x1500, ""},
      {"Subject", utf8_largo, ""},
      {"Subject", std::string(300, '\xE9'), ""},  // ISO-8859-1
      {"Subject", a200 + " " + b200, ""},
      {"Subject", "uno dos tres " + x1500 + " fin", ""},
      {"Subject", "a   " + b200 + "  c", ""},
      {"Subject", "=?ISO-8859-1?Q?Caf=E9?= para todos", "Caf\xE9 para todos"},
      {"Subject", "=?UTF-8?Q?Caf=C3=A9?= " + a200, "Café " + a200},
      {"Subject", a200 + " =?UTF-8?Q?Caf=C3=A9?= " + b200, a200 + " Café " + b200},
      {"Subject", "ver " + cafe_largo + " y", "ver " + std::string(150, 'c') + " y", 998},
      {"From", "Ana " + a200 + " <ana@example.com>", ""},
      {"To", "\"" + a200 + "\" <a@example.com>, b@example.com", a200 + " <a@example.com>, b@example.com"},
      {"To", "\"uno " + a200 + "\" <a@example.com>", "", 998},  // inside quotes: left on its line
      {"References", referencias, ""},
      {"References", "<a@x> <" + std::string(900, 'i') + "@x> <b@x>", "", 998},
      {"Message-ID", "<" + std::string(990, 'm') + "@x>", "", 998},
  };
  for (const auto& c : casos) {
    SCOPED_TRACE(c.nombre + ": " + c.valor.substr(0, 60));
    const std::string vista = c.vista.empty() ? c.valor : c.vista;
    const std::string plegada = LineaCabecera(c.nombre, c.valor);
    LineasCaben(plegada, c.max);
    ASSERT_EQ(LeeCampos(plegada + "\n").size(), 1u);
    EXPECT_EQ(VistaDeLector(Crudo(plegada, c.nombre)), vista);
    if (c.nombre != "Subject") continue;
    // Through the item: the display form of the value, and its exact copy, which reads back
    // whole both through our reader and by unfolding as RFC 5322 says and decoding.
    RegistroItem r;
    r.asunto = c.valor;
    const std::string archivo = EscribeItem(r, "");
    EsCabeceraBienFormada(archivo);
    LineasCaben(archivo.substr(0, FinDeCabecera(archivo)), c.max, false);
    LineasCaben("Subject:" + Crudo(archivo, "Subject"), c.max);
    EXPECT_EQ(VistaDeLector(Crudo(archivo, "Subject")), vista);
    EXPECT_EQ(LeeCabeceraItem(archivo).registro.asunto, c.valor);
    EXPECT_EQ(DecodificaExacto(Despliega(Crudo(archivo, "X-Tablon-Asunto"))), c.valor);
  }

  // Exact values ignore white space: a fold anywhere, even inside a %XX escape, reads back, both
  // through our reader and unfolded as RFC 5322 says and then decoded.
  for (const std::string& v : {std::string("Caf\xE9 50% ; x"), x1500, std::string("a\r\n\t b")}) {
    const std::string cod = CodificaExacto(v);
    EXPECT_EQ(cod.find_first_of(" \t\r\n"), std::string::npos);
    for (size_t k = 1; k < std::min<size_t>(cod.size(), 40); ++k) {
      const std::string plegado =
          "X-Tablon-Clase: x\nX-Tablon-Asunto: " + cod.substr(0, k) + "\n " + cod.substr(k) + "\n";
      EXPECT_EQ(DecodificaExacto(Despliega(Crudo(plegado, "X-Tablon-Asunto"))), v) << k;
      EXPECT_EQ(LeeCabeceraItem(plegado).registro.asunto, v) << k;
    }
    const std::string exacta = LineaCabeceraExacta("X-Tablon-Asunto", cod);
    LineasCaben(exacta, 78, false);
    EXPECT_EQ(DecodificaExacto(Despliega(Crudo(exacta, "X-Tablon-Asunto"))), v);
  }

  // Identifiers are never encoded. One that fits on a line of its own reads back whole (after
  // a fold right after the colon when it does not fit on the first); one longer than any line
  // is cut, keeping every byte but gaining a blank at each cut.
  for (const size_t n : {985u, 997u, 1500u, 3000u}) {
    RegistroItem r;
    r.message_id = "<" + std::string(n - 4, 'm') + "@x>";
    r.references = "<p@x> " + r.message_id;
    const std::string archivo = EscribeItem(r, "");
    EsCabeceraBienFormada(archivo);
    const RegistroItem l = LeeCabeceraItem(archivo).registro;
    std::string id = l.message_id, refs = l.references;
    if (n < 998) {
      EXPECT_EQ(id, r.message_id);
      EXPECT_EQ(refs, r.references);
    }
    std::erase(id, ' ');
    EXPECT_EQ(id, r.message_id);
    EXPECT_EQ(refs.substr(0, 6), "<p@x> ");
    refs.erase(0, 6);
    std::erase(refs, ' ');
    EXPECT_EQ(refs, r.message_id);
  }
  // CRLF files and continuation lines with tabs unfold too.
  const auto crlf = LeeCampos("Subject: uno\r\n\tdos\r\nFrom: x\r\n\r\ncuerpo: no\r\n");
  ASSERT_EQ(crlf.size(), 2u);
  EXPECT_EQ(crlf[0].valor, "uno\tdos");
}

TEST(ItemFormato, TheBodyIsExactInEveryForm) {
  struct Caso {
    std::string cuerpo;
    FormaCuerpo forma;
  } casos[] = {
      {"", FormaCuerpo::TalCual},
      {"una línea\notra\n", FormaCuerpo::TalCual},
      {"sin salto final", FormaCuerpo::TalCual},
      {"\n\n\nlíneas vacías\n\n", FormaCuerpo::TalCual},
      {"a\r\nb\r\n", FormaCuerpo::Crlf},
      {"a\r\nb", FormaCuerpo::Crlf},
      {"\r\n", FormaCuerpo::Crlf},
      {"mezcla\r\nde\nfinales\r\n", FormaCuerpo::Base64},
      {"cr suelto\rx", FormaCuerpo::Base64},
      {"termina en cr\r", FormaCuerpo::Base64},
      {std::string("nul\0\n", 5), FormaCuerpo::Base64},
      {"Caf\xE9 latin-1\n", FormaCuerpo::TalCual},
  };
  for (const auto& c : casos) {
    EXPECT_EQ(EligeFormaCuerpo(c.cuerpo), c.forma) << c.cuerpo;
    RegistroItem r;
    const std::string archivo = EscribeItem(r, c.cuerpo);
    EXPECT_EQ(CuerpoDeArchivo(archivo), c.cuerpo);
  }
}

TEST(ItemFormato, ContentType) {
  const std::string articulo =
      "Path: x\nFrom: a@b\nSubject: hola\n =?UTF-8?Q?m=C3=A1s?=\nContent-Type: text/plain; "
      "charset=iso-8859-1\n\ncuerpo\n";
  struct Caso {
    std::string cuerpo, tipo;
  } casos[] = {
      {"texto\n", "text/plain; charset=utf-8"},
      {"Caf\xE9\n", "text/plain; charset=iso-8859-1"},
      {articulo, "message/rfc822"},
      {"Path: x\r\nSubject: y\r\n\r\ncuerpo\r\n", "message/rfc822"},
      {"Subject: sin línea vacía\n", "text/plain; charset=utf-8"},
      {"no es: una cabecera\n\nx", "text/plain; charset=utf-8"},
      {std::string("Subject: x\n\n\0", 13), "text/plain; charset=utf-8"},  // base64: no rfc822
  };
  for (const auto& c : casos) {
    RegistroItem r;
    const std::string archivo = EscribeItem(r, c.cuerpo);
    EXPECT_EQ(Campo(archivo, "Content-Type"), std::vector<std::string>{c.tipo}) << c.cuerpo;
    EXPECT_EQ(CuerpoDeArchivo(archivo), c.cuerpo);
  }
}

TEST(ItemFormato, MailWrittenByOthers) {
  const std::string archivo =
      "Return-Path: <x@y>\r\nFrom: Ana <ana@example.com>\r\nTo: b@example.com\r\n"
      "Subject: =?ISO-8859-1?Q?Caf=E9?=\r\n  con pliegue\r\nMessage-ID: <m1@example.com>\r\n"
      "References: <a@x>\r\n <b@x>\r\n\r\nHola\r\n";
  const CabeceraItem c = LeeCabeceraItem(archivo.substr(0, FinDeCabecera(archivo)));
  EXPECT_EQ(c.registro.clase, "IPM.Note");
  EXPECT_EQ(c.registro.asunto, "=?ISO-8859-1?Q?Caf=E9?=  con pliegue");
  EXPECT_EQ(c.registro.remitente, "Ana <ana@example.com>");
  EXPECT_EQ(c.registro.para, std::vector<std::string>{"b@example.com"});
  EXPECT_EQ(c.registro.message_id, "<m1@example.com>");
  EXPECT_EQ(c.registro.references, "<a@x> <b@x>");
  EXPECT_EQ(CuerpoDeArchivo(archivo), "Hola\r\n");
}

TEST(ItemFormato, ReplyLinks) {
  RegistroItem r;
  r.message_id = "<hijo@tablon.invalid>";
  r.in_reply_to = "<padre@tablon.invalid>";
  r.references = "<abuelo@x> <padre@tablon.invalid>";
  const std::string archivo = EscribeItem(r, "x");
  EXPECT_EQ(Campo(archivo, "In-Reply-To"), std::vector<std::string>{r.in_reply_to});
  const RegistroItem l = LeeCabeceraItem(archivo).registro;
  EXPECT_EQ(l.message_id, r.message_id);
  EXPECT_EQ(l.in_reply_to, r.in_reply_to);
  EXPECT_EQ(l.references, r.references);
  // A link of control bytes alone shows nothing, and is written as none.
  r.message_id = std::string(1, '\0');
  r.in_reply_to = "\t";
  EXPECT_TRUE(Campo(EscribeItem(r, "x"), "Message-ID").empty());
  EXPECT_TRUE(Campo(EscribeItem(r, "x"), "In-Reply-To").empty());
}

// Date shows the creation date in the item's zone, which reads back from it while it names that
// very second; without a zone, the local one. Read back, the item writes the same bytes.
TEST(ItemFormato, TheDateKeepsItsZone) {
  const Fecha junio = *LeeFechaRfc5322("Sun, 01 Jun 2025 00:00 +0200");
  const std::string local = FormatoRfc5322(junio);
  struct Caso {
    std::optional<int> zona, zona_leida;
    std::string date, otra_date;  // as written; put in its place before reading
  } casos[] = {
      {120, 120, "Sun, 1 Jun 2025 00:00:00 +0200", ""},
      {std::nullopt, LeeFechaZonaRfc5322(local)->zona, local, ""},
      {120, std::nullopt, "Sun, 1 Jun 2025 00:00:00 +0200", "Sun, 1 Jun 2025 00:00:01 +0200"},
  };
  for (const auto& c : casos) {
    RegistroItem r;
    r.creado = junio;
    r.zona_creado = c.zona;
    std::string archivo = EscribeItem(r, "");
    ASSERT_EQ(Campo(archivo, "Date"), std::vector<std::string>{c.date});
    if (!c.otra_date.empty()) archivo.replace(archivo.find(c.date), c.date.size(), c.otra_date);
    const RegistroItem l = LeeCabeceraItem(archivo).registro;
    EXPECT_EQ(l.zona_creado, c.zona_leida) << c.date;
    EXPECT_EQ(EscribeItem(l, "") == archivo, c.otra_date.empty()) << c.date;
  }
}

TEST(FiltroAsunto, AcceptedAndRefusedForms) {
  struct Caso {
    std::string filtro;
    std::optional<std::string> texto;
  } casos[] = {
      {R"([Asunto] = "hola")", "hola"},
      {R"(  [Asunto]="hola mundo"  )", "hola mundo"},
      {R"([Asunto] = "")", ""},
      {R"([Asunto] = "dice ""sí""")", R"(dice "sí")"},
      {R"([Asunto] = "a"b")", std::nullopt},
      {R"([Asunto] = hola)", std::nullopt},
      {R"([Asunto] "hola")", std::nullopt},
      {R"([Subject] = "hola")", std::nullopt},
      {R"([Asunto] = "hola" AND [x] = "y")", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : casos) EXPECT_EQ(LeeFiltroAsunto(c.filtro), c.texto) << c.filtro;
}

}  // namespace
}  // namespace tablon::store::mensaje
