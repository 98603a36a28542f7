#include "core/ascii.h"

#include <gtest/gtest.h>

#include <string_view>

namespace tablon {
namespace {

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
