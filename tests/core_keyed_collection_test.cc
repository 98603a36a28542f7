#include "core/keyed_collection.h"

#include <gtest/gtest.h>

namespace tablon {
namespace {

TEST(KeyedCollection, KeysIgnoreLetterCaseAndDuplicatesChangeNothing) {
  KeyedCollection<int> c;
  EXPECT_TRUE(c.Add(std::make_shared<int>(1), "<A@b>"));
  EXPECT_TRUE(c.Add(std::make_shared<int>(2), "<c@d>"));
  EXPECT_FALSE(c.Add(std::make_shared<int>(3), "<a@B>"));
  ASSERT_EQ(c.size(), 2u);
  EXPECT_EQ(*c.Find("<a@b>"), 1);
  EXPECT_EQ(*c.Find("<C@D>"), 2);
  EXPECT_EQ(c.Find("<missing@x>"), nullptr);
  EXPECT_EQ(c.Find(""), nullptr);
  // Non-ASCII bytes compare exactly.
  EXPECT_TRUE(c.Add(std::make_shared<int>(4), "\xc3\xa9"));
  EXPECT_TRUE(c.Add(std::make_shared<int>(5), "\xc3\x89"));
}

TEST(KeyedCollection, WalkByPositionSurvivesAppends) {
  KeyedCollection<int> c;
  for (int i = 0; i < 3; ++i) c.Add(std::make_shared<int>(i), std::to_string(i));
  std::vector<int> seen;
  for (size_t i = 0; i < c.size(); ++i) {
    seen.push_back(*c[i]);
    if (*c[i] < 3) c.Add(std::make_shared<int>(*c[i] + 10), std::to_string(*c[i] + 10));
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 10, 11, 12}));
}

// Many keys (the index grows many times), members without a key among them, and the empty key.
TEST(KeyedCollection, ManyKeysStayFoundAcrossGrowth) {
  KeyedCollection<int> c;
  for (int i = 0; i < 50000; ++i) {
    ASSERT_TRUE(c.Add(std::make_shared<int>(i), "<Art" + std::to_string(i) + "@Host>"));
    if (i % 1000 == 0) c.AddSinClave(std::make_shared<int>(-i));
  }
  EXPECT_TRUE(c.Add(std::make_shared<int>(-1), ""));
  EXPECT_EQ(c.size(), 50000u + 50u + 1u);
  for (int i = 0; i < 50000; i += 7) {
    const auto m = c.Find("<art" + std::to_string(i) + "@HOST>");
    ASSERT_NE(m, nullptr) << i;
    EXPECT_EQ(*m, i);
    EXPECT_FALSE(c.Add(std::make_shared<int>(0), "<ART" + std::to_string(i) + "@host>"));
  }
  EXPECT_EQ(*c.Find(""), -1);
  EXPECT_EQ(c.Find("<art50000@host>"), nullptr);
  EXPECT_EQ(c.size(), 50000u + 50u + 1u);
}

}  // namespace
}  // namespace tablon
