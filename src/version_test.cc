#include "version.h"

#include <gtest/gtest.h>

namespace zanrex {
namespace {

void expect_triple(const std::string& text, uint32_t major, uint32_t minor, uint32_t release) {
  Version v = parse_version(text);
  EXPECT_EQ(v.major, major) << text;
  EXPECT_EQ(v.minor, minor) << text;
  EXPECT_EQ(v.release, release) << text;
}

TEST(ParseVersion, DottedTexts) {
  expect_triple("1.2.3", 1, 2, 3);
  expect_triple("1.2", 1, 2, 0);
  expect_triple("1..5", 1, 0, 5);
  expect_triple("10.6.0.0.133", 10, 6, 0);
  expect_triple("1.4.2.0.0", 1, 4, 2);
  expect_triple("1.6.0.0.0", 1, 6, 0);
  expect_triple("1.2.3456.7", 1, 2, 345);
  expect_triple("1.2.3456", 1, 2, 345);
  expect_triple("1.2.3a", 1, 2, 3);
  expect_triple("1.2.a3", 1, 2, 0);
  expect_triple("v1.2.3", 0, 2, 3);
  expect_triple("0x1.2", 0, 2, 0);
  expect_triple("10.4.0", 10, 4, 0);
  expect_triple(".", 0, 0, 0);
  expect_triple("1.2.3/4", 1, 2, 3);
}

TEST(ParseVersion, LongComponentsKeepTheirFirstThreeCharacters) {
  expect_triple("12345.67890.1", 123, 678, 1);
  expect_triple(std::string(20000, '9') + "." + std::string(20000, '8'), 999, 888, 0);
  // A sign is read the way a decimal reader reads it, and stored as it falls.
  expect_triple("-1.2.3", static_cast<uint32_t>(-1), 2, 3);
}

TEST(ParseVersion, HexadecimalAndUndotted) {
  expect_triple("0x1A", 0, 0, 26);
  expect_triple("0x00ff", 0, 0, 255);
  expect_triple("0x123456789", 0, 0, 0x23456789);
  expect_triple("ab0xff", 0, 0, 0xab0ff);
  expect_triple("0X1A", 0, 0, 0);
  expect_triple("42", 0, 0, 0);
  expect_triple("", 0, 0, 0);
}

TEST(HexDigitsValue, SkipsOtherCharactersAndWraps) {
  EXPECT_EQ(hex_digits_value("0x1A"), 26u);
  EXPECT_EQ(hex_digits_value("f f"), 0xffu);
  EXPECT_EQ(hex_digits_value("zz"), 0u);
  EXPECT_EQ(hex_digits_value("1ffffffff"), 0xffffffffu);
}

TEST(VersionForms, DisplayAndSortKey) {
  EXPECT_EQ(display_version({10, 6, 1}), "10.6.1");
  EXPECT_EQ(display_version({0, 0, 0}), "0.0.0");
  EXPECT_EQ(version_sort_key({1, 2, 3}), 1230000000);
  EXPECT_EQ(version_sort_key({10, 6, 1}), 1061000000);
  EXPECT_EQ(version_sort_key({1, 2, 3}), version_sort_key({1, 2, 30}));
  EXPECT_EQ(version_sort_key({1, 23, 4}), version_sort_key({12, 3, 4}));
  EXPECT_GT(version_sort_key({2, 0, 0}), version_sort_key({10, 0, 0}));
  EXPECT_LT(version_sort_key({1, 10, 0}), version_sort_key({1, 9, 0}));
  EXPECT_EQ(version_sort_key({999, 999, 999}), 9999999990);
}

TEST(VersionCompare, TriplesCompareAsNumbers) {
  EXPECT_TRUE(is_newer(parse_version("1.4.3"), parse_version("1.4.2.0.0")));
  EXPECT_TRUE(same_version(parse_version("1.4.2.0.0"), parse_version("1.4.2")));
  EXPECT_TRUE(is_newer({1, 10, 0}, {1, 9, 0}));
  EXPECT_TRUE(is_newer({1, 2, 4}, {1, 2, 3}));
  EXPECT_FALSE(is_newer({1, 2, 3}, {1, 2, 3}));
  EXPECT_FALSE(is_newer({1, 9, 9}, {2, 0, 0}));
  EXPECT_TRUE(same_version({1, 2, 3}, {1, 2, 3}));
  EXPECT_FALSE(same_version({1, 2, 3}, {1, 2, 30}));
}

TEST(SortRows, SelectionSortOrderForEqualKeys) {
  std::vector<VersionRow> rows = {{"first", 5}, {"second", 5}, {"third", 3}};
  sort_version_rows(rows);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].text, "third");
  EXPECT_EQ(rows[1].text, "second");
  EXPECT_EQ(rows[2].text, "first");

  auto sorted = sorted_version_rows({{1, 2, 3}, {1, 10, 0}, {1, 9, 0}});
  EXPECT_EQ(sorted[0].text, "1.10.0");
  EXPECT_EQ(sorted[1].text, "1.2.3");
  EXPECT_EQ(sorted[2].text, "1.9.0");
  EXPECT_TRUE(sorted_version_rows({}).empty());
}

}  // namespace
}  // namespace zanrex
