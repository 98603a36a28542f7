// The pure reply reader: status lines, GROUP fields, dot-unstuffing, block bounds, capability
// lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/error.h"
#include "nntp/capacidades.h"
#include "nntp/respuesta.h"

namespace tablon::nntp {
namespace {

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
