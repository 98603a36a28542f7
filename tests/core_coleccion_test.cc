#include "core/coleccion.h"

#include <gtest/gtest.h>

#include <string_view>

#include "core/ascii.h"

namespace tablon {
namespace {

TEST(Coleccion, KeysIgnoreLetterCaseAndDuplicatesChangeNothing) {
  Coleccion<int> c;
  EXPECT_TRUE(c.Add(std::make_shared<int>(1), "<A@b>"));
  EXPECT_TRUE(c.Add(std::make_shared<int>(2), "<c@d>"));
  EXPECT_FALSE(c.Add(std::make_shared<int>(3), "<a@B>"));
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(*c.Miembro("<a@b>"), 1);
  EXPECT_EQ(*c.Miembro("<C@D>"), 2);
  EXPECT_EQ(c.Miembro("<missing@x>"), nullptr);
  EXPECT_EQ(c.Miembro(""), nullptr);
  // Non-ASCII bytes compare exactly.
  EXPECT_TRUE(c.Add(std::make_shared<int>(4), "\xc3\xa9"));
  EXPECT_TRUE(c.Add(std::make_shared<int>(5), "\xc3\x89"));
}

TEST(Coleccion, WalkByPositionSurvivesAppends) {
  Coleccion<int> c;
  for (int i = 0; i < 3; ++i) c.Add(std::make_shared<int>(i), std::to_string(i));
  std::vector<int> seen;
  for (size_t i = 0; i < c.size(); ++i) {
    seen.push_back(*c[i]);
    if (*c[i] < 3) c.Add(std::make_shared<int>(*c[i] + 10), std::to_string(*c[i] + 10));
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 10, 11, 12}));
}

// Many keys (the index grows many times), members without a key among them, and the empty key.
TEST(Coleccion, ManyKeysStayFoundAcrossGrowth) {
  Coleccion<int> c;
  for (int i = 0; i < 50000; ++i) {
    ASSERT_TRUE(c.Add(std::make_shared<int>(i), "<Art" + std::to_string(i) + "@Host>"));
    if (i % 1000 == 0) c.AddSinClave(std::make_shared<int>(-i));
  }
  EXPECT_TRUE(c.Add(std::make_shared<int>(-1), ""));
  EXPECT_EQ(c.size(), 50000u + 50u + 1u);
  for (int i = 0; i < 50000; i += 7) {
    const auto m = c.Miembro("<art" + std::to_string(i) + "@HOST>");
    ASSERT_NE(m, nullptr) << i;
    EXPECT_EQ(*m, i);
    EXPECT_FALSE(c.Add(std::make_shared<int>(0), "<ART" + std::to_string(i) + "@host>"));
  }
  EXPECT_EQ(*c.Miembro(""), -1);
  EXPECT_EQ(c.Miembro("<art50000@host>"), nullptr);
  EXPECT_EQ(c.size(), 50000u + 50u + 1u);
}

// Keys compare by this folding (core/ascii.h).
// Only ASCII letters fold: bytes one bit apart from a letter pair ('@' and '`', '[' and '{') and
// the 8-bit letters of Latin-1 or UTF-8 text compare exactly, whatever the locale.
TEST(Ascii, OnlyAsciiLettersFold) {
  using namespace std::string_view_literals;
  struct Case {
    std::string_view a, b;
    bool igual;
  } cases[] = {
      {"X-Tablon-Clase", "x-tablon-CLASE", true},
      {"", "", true},
      {"@", "`", false},
      {"[", "{", false},
      {"\xc9", "\xe9", false},           // É and é in Latin-1
      {"\xc3\x89", "\xc3\xa9", false},   // É and é in UTF-8
      {"a\0b"sv, "A\0B"sv, true},
      {"ab", "abc", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IgualSinCaso(c.a, c.b), c.igual) << c.a << " / " << c.b;
    EXPECT_EQ(EmpiezaSinCaso(c.a, c.b), c.igual) << c.a << " / " << c.b;
  }
  EXPECT_TRUE(EmpiezaSinCaso("ipm.post.Tablon", "IPM.Post"));
  EXPECT_TRUE(EmpiezaSinCaso("IPM.Note", ""));
  EXPECT_FALSE(EmpiezaSinCaso("IPM", "IPM.Post"));
  EXPECT_FALSE(EmpiezaSinCaso("IPM.Pos\xf4", "IPM.Pos\xd4"));
}

}  // namespace
}  // namespace tablon
