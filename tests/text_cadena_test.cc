#include "text/cadena.h"

#include <gtest/gtest.h>

namespace tablon {
namespace {

TEST(SeparaCadena, CutsTheFirstFieldInPlace) {
  struct Case {
    std::string source, sep, head, rest;
  } cases[] = {
      {"sin separador", "\t", "sin separador", ""},
      {"", " ", "", ""},
      {" resto", " ", "", "resto"},
      {"cabeza ", " ", "cabeza", ""},
      {"a  b", " ", "a", " b"},
      {"aXb", "x", "aXb", ""},
      {"texto", "", "", "texto"},
      {"a.b.c", ".", "a", "b.c"},
      {"uno<>dos<>tres", "<>", "uno", "dos<>tres"},
  };
  for (const auto& c : cases) {
    std::string work = c.source, head;
    SeparaCadena(work, c.sep, head, work);  // the rest replaces the source, as every caller does
    EXPECT_EQ(head, c.head) << c.source;
    EXPECT_EQ(work, c.rest) << c.source;
    std::string_view vhead, vrest = c.source;
    SeparaCadena(vrest, c.sep, vhead, vrest);
    EXPECT_EQ(vhead, c.head) << c.source;
    EXPECT_EQ(vrest, c.rest) << c.source;
  }
}

TEST(SeparaCadena, NoPositionLimitOnLongTexts) {
  std::string source(100000, 'x');
  source += "\tfin";
  std::string head, rest;
  SeparaCadena(source, "\t", head, rest);
  EXPECT_EQ(head.size(), 100000u);
  EXPECT_EQ(rest, "fin");
}

TEST(SeparaCadena, ConsumingLoopEndsWhenTheSourceIsUsedUp) {
  std::string work = "a.b..c.", head;
  std::vector<std::string> parts;
  while (!work.empty()) {
    SeparaCadena(work, ".", head, work);
    parts.push_back(head);
  }
  EXPECT_EQ(parts, (std::vector<std::string>{"a", "b", "", "c"}));
}

}  // namespace
}  // namespace tablon
