// The pure reply reader: line splitting (whole or byte by byte), status lines, GROUP fields,
// dot-unstuffing, the line bound, capability lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "nntp/capacidades.h"
#include "nntp/respuesta.h"

namespace tablon::nntp {
namespace {

std::vector<std::string> Split(const std::string& bytes, std::size_t chunk, std::size_t max = kLineaMaxima) {
  Lineas lineas(max);
  std::vector<std::string> out;
  for (std::size_t i = 0; i < bytes.size(); i += chunk) {
    lineas.Agrega(std::string_view(bytes).substr(i, chunk));
    while (auto l = lineas.Siguiente()) out.emplace_back(*l);
  }
  return out;
}

TEST(NntpLineas, SplitsTheSameWhateverTheChunking) {
  const std::string big(300000, 'x');  // longer than one read buffer
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> lines;
  } cases[] = {
      {"crlf", "200 hola\r\n224 x\r\n", {"200 hola", "224 x"}},
      {"bare lf", "a\nb\r\n", {"a", "b"}},
      {"empty lines", "\r\n\n\r\n", {"", "", ""}},
      {"unfinished tail waits", "uno\r\ndos", {"uno"}},
      {"cr alone kept", "a\rb\r\n", {"a\rb"}},
      {"only last cr dropped", "a\r\r\n", {"a\r"}},
      {"8-bit and NUL kept", std::string("caf\xc3\xa9\t\xff\0z\r\n", 11), {std::string("caf\xc3\xa9\t\xff\0z", 9)}},
      {"long line", big + "\r\n.\r\n", {big, "."}},
  };
  for (const Case& c : cases) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1} << 20}) {
      EXPECT_EQ(Split(c.bytes, chunk), c.lines) << c.name << ", chunks of " << chunk;
    }
  }
}

TEST(NntpLineas, ALineBeyondTheBoundIsAProtocolError) {
  for (const std::string& bytes : {std::string(102, 'x'), std::string(101, 'x') + "\r\n"}) {
    for (std::size_t chunk : {std::size_t{1}, std::size_t{1000}}) {
      try {
        Split(bytes, chunk, 100);
        ADD_FAILURE() << "no error for " << bytes.size() << " bytes";
      } catch (const Error& e) {
        EXPECT_EQ(e.Number(), errnum::kProtocolo);
      }
    }
  }
  // Exactly at the bound is fine, and the CR of the line end does not count.
  EXPECT_EQ(Split(std::string(100, 'x') + "\r\n", 1, 100).size(), 1u);
}

TEST(NntpEstado, ParsesStatusLines) {
  struct Case {
    std::string line;
    int code;  // 0: not a status line
    std::string text;
  } cases[] = {
      {"200 server ready (transit mode)", 200, "server ready (transit mode)"},
      {"430", 430, ""},
      {"430 ", 430, ""},
      {"211 3 1 3 misc.test", 211, "3 1 3 misc.test"},
      {"101 Capability list:", 101, "Capability list:"},
      {"", 0, ""},
      {"20", 0, ""},
      {"2000 x", 0, ""},
      {"600 x", 0, ""},
      {"099 x", 0, ""},
      {"HELLO", 0, ""},
      {"2x0 y", 0, ""},
      {" 200 y", 0, ""},
      {"200\tx", 0, ""},
  };
  for (const Case& c : cases) {
    const auto e = AnalizaEstado(c.line);
    if (c.code == 0) {
      EXPECT_FALSE(e) << c.line;
      continue;
    }
    ASSERT_TRUE(e) << c.line;
    EXPECT_EQ(e->codigo, c.code) << c.line;
    EXPECT_EQ(e->texto, c.text) << c.line;
  }
}

TEST(NntpEstado, ParsesGroupReplies) {
  struct Case {
    std::string text;
    bool ok;
    std::int64_t count, low, high;
    std::string name;
  } cases[] = {
      {"3 1 3 misc.test", true, 3, 1, 3, "misc.test"},
      {"0 5 4 empty.group", true, 0, 5, 4, "empty.group"},
      {"5000000000 1 5000000000 big", true, 5000000000, 1, 5000000000, "big"},  // beyond 32 bits
      {"3 1 3", true, 3, 1, 3, ""},
      {"3  1\t3 x", true, 3, 1, 3, "x"},
      {"3 1", false, 0, 0, 0, ""},
      {"-3 1 3 x", false, 0, 0, 0, ""},
      {"3 a 3 x", false, 0, 0, 0, ""},
      {"99999999999999999999 1 3 x", false, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    const auto g = AnalizaGrupo(c.text);
    ASSERT_EQ(g.has_value(), c.ok) << c.text;
    if (!g) continue;
    EXPECT_EQ(g->cantidad, c.count) << c.text;
    EXPECT_EQ(g->primero, c.low) << c.text;
    EXPECT_EQ(g->ultimo, c.high) << c.text;
    EXPECT_EQ(g->nombre, c.name) << c.text;
  }
}

TEST(NntpEstado, EndsBlocksAndUnstuffsDots) {
  EXPECT_TRUE(EsFinDeBloque("."));
  for (const char* l : {"..", ". ", "", ".x", "x."}) EXPECT_FALSE(EsFinDeBloque(l)) << l;
  struct {
    const char* wire;
    const char* text;
  } cases[] = {{"..", "."}, {"...", ".."}, {".x", "x"}, {"x.", "x."}, {"", ""}, {"a..b", "a..b"}};
  for (const auto& c : cases) EXPECT_EQ(SinRelleno(c.wire), c.text) << c.wire;
}

TEST(NntpCapacidades, ReadsLabelsAndArguments) {
  const Capacidades caps({"VERSION 2", "IMPLEMENTATION INN 2.7.1", "authinfo user sasl", "OVER",
                          "LIST ACTIVE NEWSGROUPS", "  STARTTLS  ", ""});
  EXPECT_TRUE(caps.Conocidas());
  EXPECT_TRUE(caps.Tiene("OVER"));
  EXPECT_TRUE(caps.Tiene("over"));
  EXPECT_TRUE(caps.Tiene("STARTTLS"));
  EXPECT_TRUE(caps.Tiene("AUTHINFO"));
  EXPECT_TRUE(caps.TieneArgumento("AUTHINFO", "USER"));
  EXPECT_FALSE(caps.TieneArgumento("AUTHINFO", "PASS"));
  EXPECT_FALSE(caps.Tiene("READER"));
  EXPECT_FALSE(caps.Tiene("INN"));  // an argument is not a label
  EXPECT_FALSE(Capacidades().Conocidas());
}

// A block's bound counts its lines and their bytes (line end included as two), never the
// terminating "."; the line that goes over is refused, and so is everything after it.
TEST(NntpBloque, TakesABlockUpToItsBoundAndNotOneLineMore) {
  struct Case {
    const char* name;
    Limite limite;
    std::vector<std::string> lines;  // as received, the "." included where the block ends
    std::size_t taken;               // lines given back before the end or the error
    bool error;
  } cases[] = {
      {"empty block", {0, 0}, {"."}, 0, false},
      {"exactly the lines allowed", {2, 100}, {"a", "b", "."}, 2, false},
      {"one line too many", {2, 100}, {"a", "b", "c", "."}, 2, true},
      {"exactly the bytes allowed", {10, 9}, {"abc", "..", "."}, 2, false},
      {"one byte too many", {10, 6}, {"abcd", "x", "."}, 1, true},
      {"empty lines count their line end", {10, 4}, {"", "", "", "."}, 2, true},
      {"a dot-stuffed line counts as received", {10, 5}, {"..x", "."}, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bloque bloque(c.limite, "la prueba");
    std::size_t taken = 0;
    bool error = false, ended = false;
    try {
      for (const std::string& l : c.lines) {
        const auto linea = bloque.Linea(l);
        if (!linea) {
          ended = true;
          break;
        }
        EXPECT_EQ(*linea, SinRelleno(l));
        ++taken;
      }
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), errnum::kProtocolo);
      EXPECT_NE(e.Description().find("la prueba"), std::string::npos) << e.Description();
      error = true;
      // Once over, it stays over.
      EXPECT_THROW(bloque.Linea("."), Error);
    }
    EXPECT_EQ(taken, c.taken);
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(ended, !c.error);
    EXPECT_EQ(bloque.Terminado(), !c.error);
    EXPECT_LE(bloque.Lineas(), c.limite.lineas);
    EXPECT_LE(bloque.Bytes(), c.limite.bytes);
  }
}

}  // namespace
}  // namespace tablon::nntp
