// An item as file bytes and back, without any file: display headers, exact headers, folding,
// body forms, and mail written by someone else.
#include <gtest/gtest.h>

#include "store/maildir/header_text.h"
#include "store/maildir/item_format.h"

namespace tablon::store::maildir {
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

// The disk round trip (store_maildir_test) covers every field; here: values that could break
// the header block itself never add a header line, and very long ones stay within 998 bytes.
TEST(ItemFormato, ValoresPeligrososNoRompenLaCabecera) {
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

TEST(ItemFormato, CabecerasVisibles) {
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

TEST(ItemFormato, PalabrasCodificadasLargasNoPartenCaracteres) {
  std::string largo;
  for (int i = 0; i < 100; ++i) largo += "ñá€";
  const std::string visible = TextoVisible(largo);
  size_t i = 0;
  while (i < visible.size()) {
    size_t fin = visible.find(' ', i);
    if (fin == std::string::npos) fin = visible.size();
    const std::string palabra = visible.substr(i, fin - i);
    EXPECT_LE(palabra.size(), 75u);
    ASSERT_EQ(palabra.substr(0, 10), "=?UTF-8?B?");
    const auto bytes = DeBase64(palabra.substr(10, palabra.size() - 12));
    ASSERT_TRUE(bytes.has_value());
    EXPECT_TRUE(EsUtf8Valido(*bytes)) << palabra;
    i = fin + 1;
  }
}

TEST(ItemFormato, PliegueYDespliegue) {
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
  // CRLF files and continuation lines with tabs unfold too.
  const auto crlf = LeeCampos("Subject: uno\r\n\tdos\r\nFrom: x\r\n\r\ncuerpo: no\r\n");
  ASSERT_EQ(crlf.size(), 2u);
  EXPECT_EQ(crlf[0].valor, "uno\tdos");
}

TEST(ItemFormato, CuerpoExactoEnCadaForma) {
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

TEST(ItemFormato, TipoDeContenido) {
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

TEST(ItemFormato, CorreoAjeno) {
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

TEST(ItemFormato, EnlacesDeRespuesta) {
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
}

}  // namespace
}  // namespace tablon::store::maildir
