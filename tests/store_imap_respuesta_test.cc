// The pure IMAP response reader: responses fed whole, byte by byte and in random pieces; the
// bounds; malformed responses; the FETCH, LIST and STATUS readers; numbers; modified UTF-7
// mailbox names; strings written for commands.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/error.h"
#include "store/imap/respuesta_imap.h"

namespace tablon::store::imap {
namespace {

using namespace std::string_literals;

std::string Lit(const std::string& bytes) { return "{" + std::to_string(bytes.size()) + "}\r\n" + bytes; }

// One line per response: "<tag|*|+> [number] NAME [CODE|args] «text» values".
std::string Muestra(const Valor& v) {
  switch (v.tipo) {
    case TipoValor::kNumero: return "#" + v.texto;
    case TipoValor::kCadena: return "\"" + v.texto + "\"";
    case TipoValor::kLiteral: return "{" + v.texto + "}";
    case TipoValor::kNil: return "NIL";
    case TipoValor::kLista: {
      std::string s = "(";
      for (const Valor& e : v.elementos) s += (s.size() > 1 ? " " : "") + Muestra(e);
      return s + ")";
    }
    case TipoValor::kAtomo: break;
  }
  std::string s = v.texto;
  if (v.tiene_seccion) s += "[" + v.seccion + "]";
  if (v.origen) s += "<" + std::to_string(*v.origen) + ">";
  return s;
}

std::string Muestra(const Respuesta& r) {
  std::string s = r.clase == ClaseRespuesta::kEtiquetada ? r.etiqueta
                  : r.clase == ClaseRespuesta::kContinuacion ? "+" : "*";
  if (r.numero) s += " " + std::to_string(*r.numero);
  if (!r.nombre.empty()) s += " " + r.nombre;
  if (r.codigo) s += " [" + r.codigo->nombre + "|" + r.codigo->argumentos + "]";
  if (r.clase != ClaseRespuesta::kNoEtiquetada || r.datos.empty()) s += " «" + r.texto + "»";
  for (const Valor& v : r.datos) s += " " + Muestra(v);
  return s;
}

struct Lectura {
  std::vector<std::string> respuestas;
  std::string error;  // empty when none
  std::size_t agregados = 0;  // bytes fed before the error, or all of them
};

// Feeds `bytes` in pieces of `trozo` bytes (0: random pieces) and reads every response.
Lectura Lee(const std::string& bytes, std::size_t trozo, Limites limites = {}) {
  Respuestas lector(limites);
  Lectura l;
  std::mt19937 azar(static_cast<unsigned>(bytes.size()));
  try {
    while (l.agregados < bytes.size()) {
      const std::size_t n = trozo ? trozo : 1 + azar() % 13;
      const std::string_view parte = std::string_view(bytes).substr(l.agregados, n);
      lector.Agrega(parte);
      l.agregados += parte.size();
      while (auto r = lector.Siguiente()) l.respuestas.push_back(Muestra(*r));
    }
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), errnum::kProtocolo) << e.Description();
    l.error = e.Description();
    // Out of step for good: every later call raises the same error.
    for (int k = 0; k < 2; ++k) {
      try {
        k ? lector.Agrega("* 1 EXISTS\r\n") : (void)lector.Siguiente();
        ADD_FAILURE() << "a call after the error did not raise it";
      } catch (const Error& otro) {
        EXPECT_EQ(otro.Description(), l.error);
      }
    }
  }
  return l;
}

// Every way of feeding gives the same responses and the same failure.
Lectura LeeDeTodasFormas(const std::string& bytes, Limites limites = {}) {
  const Lectura entera = Lee(bytes, bytes.size() + 1, limites);
  for (std::size_t trozo : {std::size_t{1}, std::size_t{2}, std::size_t{5}, std::size_t{0}}) {
    const Lectura otra = Lee(bytes, trozo, limites);
    EXPECT_EQ(otra.respuestas, entera.respuestas) << "pieces of " << trozo;
    EXPECT_EQ(otra.error.empty(), entera.error.empty()) << "pieces of " << trozo << ": " << otra.error;
  }
  return entera;
}

TEST(ImapRespuesta, ReadsTheSameResponsesWhateverTheChunking) {
  const std::string cabecera = "Message-ID: <abcdefghijk1234@example.org>\r\n\r\n";
  const std::string binario = "a\0b\r\nc\n\xff\r"s;
  struct Case {
    std::string bytes;
    std::vector<std::string> respuestas;
  } cases[] = {
      {"A001 OK [READ-WRITE] SELECT completed\r\n", {"A001 OK [READ-WRITE|] «SELECT completed»"}},
      {"a2 no Mailbox doesn't exist\r\nA3 BAD\r\n", {"a2 NO «Mailbox doesn't exist»", "A3 BAD «»"}},
      {"* OK [UIDVALIDITY 3857529045] UIDs valid\r\n", {"* OK [UIDVALIDITY|3857529045] «UIDs valid»"}},
      {"* OK [PERMANENTFLAGS (\\Deleted \\Seen \\*)] Limited\r\n",
       {"* OK [PERMANENTFLAGS|(\\Deleted \\Seen \\*)] «Limited»"}},
      {"A4 OK [APPENDUID 38505 3955] APPEND completed\r\n* OK [ALERT]\r\n",
       {"A4 OK [APPENDUID|38505 3955] «APPEND completed»", "* OK [ALERT|] «»"}},
      {"* PREAUTH ready\r\n* BYE Autologout; idle for too long\r\n",
       {"* PREAUTH «ready»", "* BYE «Autologout; idle for too long»"}},
      {"* CAPABILITY IMAP4rev1 AUTH=PLAIN LITERAL+\r\n", {"* CAPABILITY IMAP4rev1 AUTH=PLAIN LITERAL+"}},
      {"* 172 EXISTS\r\n* 0 RECENT\n* 44 expunge\n", {"* 172 EXISTS «»", "* 0 RECENT «»", "* 44 EXPUNGE «»"}},
      {"* FLAGS (\\Answered \\Seen $Forwarded)\r\n", {"* FLAGS (\\Answered \\Seen $Forwarded)"}},
      {"* LIST (\\HasNoChildren) \".\" \"INBOX.news\"\r\n", {"* LIST (\\HasNoChildren) \".\" \"INBOX.news\""}},
      {"* LIST () \"/\" {5}\r\nab/cd\r\n", {"* LIST () \"/\" {ab/cd}"}},
      {"* LIST (\\Noselect) NIL \"a\\\"b\\\\\"\r\n", {"* LIST (\\Noselect) NIL \"a\"b\\\""}},
      {"* STATUS blurdybloop (MESSAGES 231 UIDNEXT 44292)\r\n",
       {"* STATUS blurdybloop (MESSAGES #231 UIDNEXT #44292)"}},
      {"* SEARCH 2 84 882\r\n* SEARCH\r\n* SEARCH 1  2 \r\n",
       {"* SEARCH #2 #84 #882", "* SEARCH «»", "* SEARCH #1 #2"}},
      {"* SEARCH 99999999999999999999\r\n", {"* SEARCH 99999999999999999999"}},  // too big: an atom
      {"* ESEARCH (TAG \"A285\") UID MIN 7 ALL 1:3,5:*\r\n", {"* ESEARCH (TAG \"A285\") UID MIN #7 ALL 1:3,5:*"}},
      {"* VANISHED (EARLIER) 300:310,405\r\n* ENABLED CONDSTORE\r\n",
       {"* VANISHED (EARLIER) 300:310,405", "* ENABLED CONDSTORE"}},
      {"* 12 FETCH (UID 34 FLAGS (\\Seen \\Flagged) MODSEQ (7) BODY[HEADER.FIELDS (MESSAGE-ID)] " +
           Lit(cabecera) + ")\r\n",
       {"* 12 FETCH (UID #34 FLAGS (\\Seen \\Flagged) MODSEQ (#7) BODY[HEADER.FIELDS (MESSAGE-ID)] {" +
        cabecera + "})"}},
      {"* 1 FETCH (BODY[]<0> " + Lit(binario) + " BINARY[1] ~{3}\r\nxyz BODY[2] {2+}\r\nde BODY[3] {0}\r\n)\r\n",
       {"* 1 FETCH (BODY[]<0> {" + binario + "} BINARY[1] {xyz} BODY[2] {de} BODY[3] {})"}},
      {"* 2 FETCH (BODYSTRUCTURE (\"TEXT\" \"PLAIN\" (\"CHARSET\" \"UTF-8\") NIL NIL \"7BIT\" 3 1))\r\n",
       {"* 2 FETCH (BODYSTRUCTURE (\"TEXT\" \"PLAIN\" (\"CHARSET\" \"UTF-8\") NIL NIL \"7BIT\" #3 #1))"}},
      {"* ID (\"name\" \"Dovecot\")\r\n", {"* ID (\"name\" \"Dovecot\")"}},
      {"+ Ready for literal\r\n+\r\n+ YGgGCSqGSIb3EgECAgIAb1kw+A==\r\n",
       {"+ «Ready for literal»", "+ «»", "+ «YGgGCSqGSIb3EgECAgIAb1kw+A==»"}},
      {"* OK text {3}\r\nabc\r\n", {"* OK «text {3}\r\nabc»"}},  // kept as sent
      {"* OK a\rb\r\n* 3 EXISTS", {"* OK «a\rb»"}},              // an unfinished tail waits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const Lectura l = LeeDeTodasFormas(c.bytes);
    EXPECT_EQ(l.error, "");
    EXPECT_EQ(l.respuestas, c.respuestas);
  }
}

TEST(ImapRespuesta, RefusesMalformedResponsesQuotingThem) {
  const std::string cases[] = {
      "* LIST (\\HasNoChildren \".\" x\r\n",  "* SEARCH 1)\r\n",
      "* LIST () \"a\\qb\" x\r\n",            "* LIST () \"abc\r\n",
      "* 1 FETCH (BODY[] {12a}\r\n)\r\n",     "* 1 FETCH (BODY[] {5} x)\r\n",
      "* 1 FETCH (BODY[] {3}\r\nabcd)\r\n",   "* 1x EXISTS\r\n",
      "* 4294967296 EXISTS\r\n",              "A1 MAYBE done\r\n",
      "* OK [ALERT text\r\n",                 "\r\n",
      "*OK\r\n",                              "* FLAGS(\\Seen)\r\n",
      "* SEARCH \"a\"b\r\n",                  "* 1 FETCH (BODY[HEADER x\r\n",
      "* X a\x01 b\r\n",                      "* 1 FETCH (BODY[]<x> NIL)\r\n",
      "a+b OK x\r\n",                         "* LIST () \"/\" a\0b\r\n"s,
  };
  for (const std::string& bytes : cases) {
    SCOPED_TRACE(bytes);
    const Lectura l = LeeDeTodasFormas("* 1 EXISTS\r\n" + bytes + "* 2 EXISTS\r\n");
    EXPECT_EQ(l.respuestas, std::vector<std::string>{"* 1 EXISTS «»"});
    EXPECT_NE(l.error.find("mal formada"), std::string::npos) << l.error;
    EXPECT_EQ(l.error.find_first_of("\r\n"s + '\0'), std::string::npos) << "control bytes escaped";
  }
  // A fault far into a long line is quoted around it, not from the line's start.
  const Lectura l = Lee("* SEARCH " + std::string(5000, '1') + " )\r\n", 1);
  EXPECT_NE(l.error.find("1 )"), std::string::npos) << l.error;
  EXPECT_LT(l.error.size(), 400u);
}

// Bounds small enough to pass by hand: each fault is raised as soon as the bytes fed make it
// certain, so an endless line or literal never holds more than its bound.
TEST(ImapRespuesta, StopsAtEveryBoundAsSoonAsItIsPassed) {
  const Limites limites{.linea = 64, .literal = 100, .respuesta = 300, .profundidad = 4, .elementos = 20};
  const std::string cien(100, 'x');
  auto numeros = [](int n) {
    std::string s = "* SEARCH";
    for (int k = 0; k < n; ++k) s += " 1";
    return s + "\r\n";
  };
  struct Case {
    const char* name;
    std::string bytes;
    const char* error;     // a word of the error text; nullptr: no error
    std::size_t agregados; // bytes fed byte by byte before the error (0: not checked)
  } cases[] = {
      {"line at the bound", "* X " + std::string(60, 'a') + "\r\n", nullptr, 0},
      {"line over the bound", "* X " + std::string(61, 'a') + "\r\n", "línea", 0},
      {"line that never ends", std::string(100000, 'a'), "línea", 66},
      {"literal at the bound", "* 1 FETCH (BODY[] " + Lit(cien) + ")\r\n", nullptr, 0},
      {"literal over the bound, refused before its bytes", "* 1 FETCH (BODY[] {101}\r\n" + cien + "x)\r\n",
       "literal", 25},
      {"endless literal", "* 1 FETCH (BODY[] {99999999999}\r\n", "literal", 33},
      {"literal beyond 64 bits", "A {999999999999999999999999999}\r\n", "literal", 33},
      {"literals over the response bound",
       "* 1 FETCH (BODY[1] " + Lit(cien) + " BODY[2] " + Lit(cien) + " BODY[3] " + Lit(cien) + ")\r\n",
       "respuesta", 258},
      {"nesting at the bound", "* X ((((a))))\r\n", nullptr, 0},
      {"nesting over the bound", "* X (((((a)))))\r\n", "niveles", 0},
      {"endless nesting", std::string(100000, '('), "línea", 66},
      {"values at the bound", numeros(20), nullptr, 0},
      {"values over the bound", numeros(21), "valores", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Lectura l = LeeDeTodasFormas(c.bytes, limites);
    if (!c.error) {
      EXPECT_EQ(l.error, "");
      EXPECT_EQ(l.respuestas.size(), 1u);
      continue;
    }
    EXPECT_NE(l.error.find(c.error), std::string::npos) << l.error;
    if (c.agregados) {
      EXPECT_EQ(Lee(c.bytes, 1, limites).agregados, c.agregados);
    }
  }
}

TEST(ImapRespuesta, ReadsAFloodOfResponsesOneByOneInBoundedMemory) {
  Respuestas lector(Limites{.linea = 64, .literal = 10, .respuesta = 100, .profundidad = 4, .elementos = 8});
  std::size_t leidas = 0;
  for (int k = 0; k < 20000; ++k) {
    lector.Agrega("* " + std::to_string(k) + " EXISTS\r\n* 1 FETCH (UID 2)\r\n");
    while (auto r = lector.Siguiente()) ++leidas;
    EXPECT_EQ(lector.Pendientes(), 0u);
  }
  EXPECT_EQ(leidas, 40000u);
}

TEST(ImapRespuesta, ReadsFetchItems) {
  Fetch f = AnalizaFetch(AnalizaRespuesta(
      "* 12 FETCH (UID 34 FLAGS (\\Seen \\Flagged) MODSEQ (7) BODY[HEADER.FIELDS (MESSAGE-ID)] " +
      Lit("Message-ID: <a@b>\r\n\r\n") + " RFC822.SIZE 4321 INTERNALDATE \"17-Jul-1996 02:44:25 -0700\"" +
      " BODY[]<0> NIL RFC822.HEADER \"X: y\" uid 34 ENVELOPE (NIL) BINARY.SIZE[1] 3)"));
  EXPECT_EQ(f.numero, 12u);
  EXPECT_EQ(f.uid, 34u);
  EXPECT_EQ(f.flags, (std::vector<std::string>{"\\Seen", "\\Flagged"}));
  EXPECT_EQ(f.modseq, 7u);
  EXPECT_EQ(f.tamano, 4321u);
  EXPECT_EQ(f.internaldate, "17-Jul-1996 02:44:25 -0700");
  ASSERT_EQ(f.secciones.size(), 3u);
  EXPECT_EQ(f.secciones[0].nombre, "BODY");
  EXPECT_EQ(f.secciones[0].seccion, "HEADER.FIELDS (MESSAGE-ID)");
  EXPECT_EQ(f.secciones[0].bytes, "Message-ID: <a@b>\r\n\r\n");
  EXPECT_EQ(f.secciones[1].origen, 0u);
  EXPECT_FALSE(f.secciones[1].bytes);
  EXPECT_EQ(f.secciones[2].nombre, "RFC822.HEADER");
  ASSERT_EQ(f.otros.size(), 2u);
  EXPECT_EQ(f.otros[0].first, "ENVELOPE");
  EXPECT_EQ(f.otros[1].first, "BINARY.SIZE[1]");

  const char* malas[] = {
      "* 0 FETCH (UID 1)",        "* 1 FETCH (UID)",           "* 1 FETCH (UID 0)",
      "* 1 FETCH (UID -1)",       "* 1 FETCH (UID 4294967296)", "* 1 FETCH UID 1",
      "* 1 FETCH (FLAGS \\Seen)", "* 1 FETCH (FLAGS (\"x\"))",  "* 1 FETCH (MODSEQ 7)",
      "* 1 FETCH (MODSEQ (7 8))", "* 1 FETCH (UID 1 UID 2)",    "* 1 FETCH (BODY[] 12)",
      "* 1 FETCH (BODY[] NIL BODY[] NIL)", "* 1 FETCH (INTERNALDATE 12)", "* 1 FETCH (\"UID\" 1)",
  };
  for (const char* m : malas) {
    try {
      AnalizaFetch(AnalizaRespuesta(m));
      ADD_FAILURE() << "accepted " << m;
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kProtocolo) << m;
    }
  }
  try {
    AnalizaFetch(AnalizaRespuesta("* 3 EXISTS"));
    ADD_FAILURE() << "read EXISTS as FETCH";
  } catch (const Error& e) {
    EXPECT_EQ(e.Number(), errnum::kArgumentoNoValido);
  }
}

TEST(ImapRespuesta, ReadsListAndStatusResponses) {
  struct Case {
    std::string linea;
    std::vector<std::string> atributos;
    std::optional<char> delimitador;
    std::string nombre;  // "!": malformed
  } cases[] = {
      {"* LIST (\\HasNoChildren) \".\" \"INBOX.news\"", {"\\HasNoChildren"}, '.', "INBOX.news"},
      {"* LIST () \"/\" " + Lit("ab/cd"), {}, '/', "ab/cd"},
      {"* LSUB (\\Noselect \\HasChildren) NIL news", {"\\Noselect", "\\HasChildren"}, {}, "news"},
      {"* LIST () \"\\\\\" inbox", {}, '\\', "INBOX"},
      {"* LIST () \".\" NIL", {}, '.', "NIL"},
      {"* LIST () \".\" \"\"", {}, '.', ""},
      {"* LIST () \"/\" foo (\"CHILDINFO\" (\"SUBSCRIBED\"))", {}, '/', "foo"},
      {"* LIST () \"ab\" foo", {}, {}, "!"},
      {"* LIST \\Noselect \"/\" foo", {}, {}, "!"},
      {"* LIST () \"/\"", {}, {}, "!"},
      {"* LIST () \"/\" (foo)", {}, {}, "!"},
      {"* LIST () \"/\" foo bar", {}, {}, "!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.linea);
    try {
      const Buzon b = AnalizaBuzon(AnalizaRespuesta(c.linea));
      EXPECT_EQ(b.atributos, c.atributos);
      EXPECT_EQ(b.delimitador, c.delimitador);
      EXPECT_EQ(b.nombre, c.nombre);
    } catch (const Error& e) {
      EXPECT_EQ(c.nombre, "!") << e.Description();
      EXPECT_EQ(e.Number(), errnum::kProtocolo);
    }
  }

  const EstadoBuzon e = AnalizaEstadoBuzon(AnalizaRespuesta(
      "* STATUS \"INBOX.news\" (MESSAGES 231 UIDNEXT 44292 UIDVALIDITY 1 UNSEEN 0 X-FOO 5 "
      "HIGHESTMODSEQ 9000000000 SIZE 5 RECENT 2 DELETED 1)"));
  EXPECT_EQ(e.nombre, "INBOX.news");
  EXPECT_EQ(e.mensajes, 231u);
  EXPECT_EQ(e.uid_siguiente, 44292u);
  EXPECT_EQ(e.uid_validez, 1u);
  EXPECT_EQ(e.no_vistos, 0u);
  EXPECT_EQ(e.recientes, 2u);
  EXPECT_EQ(e.borrados, 1u);
  EXPECT_EQ(e.modseq_mayor, 9000000000u);
  EXPECT_EQ(e.tamano, 5u);
  for (const char* m : {"* STATUS x (UIDVALIDITY 0)", "* STATUS x (MESSAGES 4294967296)",
                        "* STATUS x (MESSAGES)", "* STATUS x (MESSAGES 1 MESSAGES 1)",
                        "* STATUS x MESSAGES 1", "* STATUS (MESSAGES 1)", "* STATUS x (UNSEEN NIL)"}) {
    EXPECT_THROW(AnalizaEstadoBuzon(AnalizaRespuesta(m)), Error) << m;
  }
}

TEST(ImapRespuesta, ParsesNumbersWithinTheirRanges) {
  struct Case {
    const char* texto;
    std::optional<std::uint32_t> numero, nz;
    std::optional<std::uint64_t> n64;
  } cases[] = {
      {"0", 0u, {}, 0u},
      {"1", 1u, 1u, 1u},
      {"007", 7u, {}, 7u},
      {"4294967295", 4294967295u, 4294967295u, 4294967295u},
      {"4294967296", {}, {}, 4294967296u},
      {"9223372036854775807", {}, {}, 9223372036854775807u},
      {"9223372036854775808", {}, {}, {}},
      {"99999999999999999999999", {}, {}, {}},
      {"", {}, {}, {}}, {"+1", {}, {}, {}}, {"-1", {}, {}, {}}, {"1a", {}, {}, {}}, {" 1", {}, {}, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AnalizaNumero(c.texto), c.numero) << c.texto;
    EXPECT_EQ(AnalizaNzNumero(c.texto), c.nz) << c.texto;
    EXPECT_EQ(AnalizaNumero64(c.texto), c.n64) << c.texto;
  }
}

TEST(ImapNombreBuzon, EncodesAndDecodesModifiedUtf7BothWays) {
  struct Case {
    std::string utf8, mutf7;
  } cases[] = {
      {"INBOX", "INBOX"}, {"", ""}, {"&", "&-"}, {"a&b", "a&-b"},
      {"Entwürfe", "Entw&APw-rfe"},
      {"~peter/mail/台北/日本語", "~peter/mail/&U,BTFw-/&ZeVnLIqe-"},
      {"😀", "&2D3eAA-"}, {"日本語😀x", "&ZeVnLIqe2D3eAA-x"}, {"é&é", "&AOk-&-&AOk-"},
      {"\t", "&AAk-"}, {"\x7f", "&AH8-"}, {"ñ\x01", "&APEAAQ-"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CodificaNombreBuzon(c.utf8), c.mutf7) << c.utf8;
    EXPECT_EQ(DecodificaNombreBuzon(c.mutf7), c.utf8) << c.mutf7;
  }
  // Every code point that a name may hold encodes to printable ASCII and decodes back.
  for (char32_t cp = 1; cp <= 0x10ffff; cp += (cp < 0x800 ? 1 : 97)) {
    if (cp >= 0xd800 && cp <= 0xdfff) continue;
    std::string s = "a";
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += {static_cast<char>(0xc0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3f))};
    } else if (cp < 0x10000) {
      s += {static_cast<char>(0xe0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3f)),
            static_cast<char>(0x80 | (cp & 0x3f))};
    } else {
      s += {static_cast<char>(0xf0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3f)),
            static_cast<char>(0x80 | ((cp >> 6) & 0x3f)), static_cast<char>(0x80 | (cp & 0x3f))};
    }
    s += s.substr(1) + "&";
    const auto m = CodificaNombreBuzon(s);
    ASSERT_TRUE(m) << std::hex << static_cast<std::uint32_t>(cp);
    for (char c : *m) ASSERT_TRUE(c >= 0x20 && c <= 0x7e) << *m;
    ASSERT_EQ(DecodificaNombreBuzon(*m), s) << *m;
  }
}

TEST(ImapNombreBuzon, RefusesMalformedAndNonCanonicalNames) {
  const std::string malos_mutf7[] = {
      "&",        "&AOk",      "&Jjo!-",     "&/wA-",       // unterminated, bad base64 byte
      "&AGE-",    "&ACY-",                                // printable ASCII, "&" itself, in base64
      "&AOk-&AOk-",                                        // two runs where one would do
      "&AO-",     "&AOkA-",    "&AOl-",                    // too short, too long, padding bits set
      "&2D0-",    "&3gA-",     "&2D3YPQ-",                 // lone surrogates
      "&AAA-",    "caf\xc3\xa9", "a\tb",                  // U+0000, raw 8-bit, raw control
  };
  for (const std::string& m : malos_mutf7) EXPECT_FALSE(DecodificaNombreBuzon(m)) << m;
  for (const std::string& u : {"\xff"s, "\xc3"s, "\xc0\xaf"s, "\xed\xa0\x80"s, "a\0b"s}) {
    EXPECT_FALSE(CodificaNombreBuzon(u)) << u;
  }
}

TEST(ImapCadena, WritesAtomsQuotedStringsOrLiterals) {
  struct Case {
    std::string texto, astring, cadena, sin_espera;
  } cases[] = {
      {"INBOX.news", "INBOX.news", "\"INBOX.news\"", "\"INBOX.news\""},
      {"", "\"\"", "\"\"", "\"\""},
      {"a b", "\"a b\"", "\"a b\"", "\"a b\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\"", "\"a\\\"b\\\\c\""},
      {"nil", "\"nil\"", "\"nil\"", "\"nil\""},
      {"a]b", "a]b", "\"a]b\"", "\"a]b\""},
      {"a*", "\"a*\"", "\"a*\"", "\"a*\""},
      {"a\r\nb", "{4}\r\na\r\nb", "{4}\r\na\r\nb", "{4+}\r\na\r\nb"},
      {"café", "{5}\r\ncafé", "{5}\r\ncafé", "{5+}\r\ncafé"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EscribeAstring(c.texto), c.astring) << c.texto;
    EXPECT_EQ(EscribeCadena(c.texto), c.cadena) << c.texto;
    EXPECT_EQ(EscribeCadena(c.texto, Literal::kSinEspera), c.sin_espera) << c.texto;
    // What is written reads back as the same bytes.
    const Respuesta r = AnalizaRespuesta("* X " + c.astring);
    ASSERT_EQ(r.datos.size(), 1u) << c.texto;
    EXPECT_EQ(r.datos[0].texto, c.texto);
  }
  EXPECT_THROW(EscribeCadena("a\0b"s), Error);
}

}  // namespace
}  // namespace tablon::store::imap
