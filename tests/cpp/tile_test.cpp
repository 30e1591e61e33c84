#include "mjai/tile.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

using mjai::Tile;

constexpr std::string_view all_names[38] = {
    "1m", "2m", "3m", "4m", "5m", "6m", "7m", "8m", "9m",  "1p",  "2p",  "3p",  "4p",
    "5p", "6p", "7p", "8p", "9p", "1s", "2s", "3s", "4s",  "5s",  "6s",  "7s",  "8s",
    "9s", "E",  "S",  "W",  "N",  "P",  "F",  "C",  "5mr", "5pr", "5sr", "?"};

// The tenhou code table: code -> tile name.
std::map<int, std::string> valid_codes() {
  std::map<int, std::string> m{{0, "?"}, {51, "5mr"}, {52, "5pr"}, {53, "5sr"}};
  const char* suits = "mps";
  for (int k = 0; k < 3; ++k)
    for (int r = 1; r <= 9; ++r) m[(k + 1) * 10 + r] = std::to_string(r) + suits[k];
  const char* honours[] = {"E", "S", "W", "N", "P", "F", "C"};
  for (int r = 1; r <= 7; ++r) m[40 + r] = honours[r - 1];
  return m;
}

const std::string expected_list =
    "0, 11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 31, 32, 33, 34, "
    "35, 36, 37, 38, 39, 41, 42, 43, 44, 45, 46, 47, 51, 52, 53";

TEST(tile_test, names_in_id_order) {
  for (int id = 0; id < mjai::tile_count; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(mjai::tile_name(Tile{static_cast<std::uint8_t>(id)}), all_names[id]);
  }
  EXPECT_EQ(mjai::tile_count, 38);
  EXPECT_EQ(mjai::unknown_tile.id, 37);
  EXPECT_EQ(Tile{}.id, 37);
}

TEST(tile_test, equality_is_by_id) {
  EXPECT_EQ(Tile{4}, Tile{4});
  EXPECT_NE(Tile{34}, Tile{4});  // 5mr is not 5m
  EXPECT_NE(Tile{35}, Tile{13});
  EXPECT_NE(Tile{36}, Tile{22});
}

TEST(tile_test, every_code_0_to_255) {
  const auto valid = valid_codes();
  ASSERT_EQ(valid.size(), 38u);
  for (int code = 0; code < 256; ++code) {
    SCOPED_TRACE(code);
    const auto t = mjai::tile_from_code(static_cast<std::uint8_t>(code));
    const auto it = valid.find(code);
    if (it == valid.end()) {
      EXPECT_FALSE(t.has_value());
      EXPECT_EQ(mjai::invalid_tile_code_message(static_cast<unsigned>(code)),
                "invalid value: " + std::to_string(code) + ", expected one of: " + expected_list);
    } else {
      ASSERT_TRUE(t.has_value());
      EXPECT_EQ(mjai::tile_name(*t), it->second);
    }
  }
}

TEST(tile_test, rejected_codes_named_in_the_message) {
  for (unsigned code : {1u, 9u, 10u, 20u, 30u, 40u, 48u, 49u, 50u, 54u, 60u, 255u}) {
    SCOPED_TRACE(code);
    EXPECT_FALSE(mjai::tile_from_code(static_cast<std::uint8_t>(code)).has_value());
  }
  EXPECT_EQ(mjai::invalid_tile_code_message(10),
            "invalid value: 10, expected one of: 0, 11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22, "
            "23, 24, 25, 26, 27, 28, 29, 31, 32, 33, 34, 35, 36, 37, 38, 39, 41, 42, 43, 44, 45, "
            "46, 47, 51, 52, 53");
  // The reader refuses numbers above 255 before the code check, but the
  // message is plain decimal for any value.
  EXPECT_EQ(mjai::invalid_tile_code_message(256).rfind("invalid value: 256, expected", 0), 0u);
}

TEST(tile_test, red_fives_and_honours) {
  struct Case {
    int code;
    std::string_view want;
  } cases[] = {{15, "5m"}, {25, "5p"}, {35, "5s"}, {51, "5mr"}, {52, "5pr"}, {53, "5sr"},
               {41, "E"},  {42, "S"},  {43, "W"},  {44, "N"},   {45, "P"},   {46, "F"},
               {47, "C"},  {0, "?"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const auto t = mjai::tile_from_code(static_cast<std::uint8_t>(c.code));
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(mjai::tile_name(*t), c.want);
  }
  EXPECT_EQ(*mjai::tile_from_code(0), mjai::unknown_tile);
  EXPECT_NE(*mjai::tile_from_code(51), *mjai::tile_from_code(15));
}

TEST(tile_test, from_chars) {
  struct Case {
    std::string_view name;
    std::string_view chars;
    std::string_view want;  // empty: rejected
  } cases[] = {
      {"zeros are the unknown tile", "00", "?"},
      {"plain", "11", "1m"},
      {"last pin", "29", "9p"},
      {"dragon", "47", "C"},
      {"red five", "51", "5mr"},
      {"red five sou", "53", "5sr"},
      {"plus zero reads as 0", "+0", "?"},
      {"plus five reads as 5", "+5", ""},
      {"plus one reads as 1", "+1", ""},
      {"leading zero five", "05", ""},
      {"tsumogiri marker", "60", ""},
      {"ten", "10", ""},
      {"48", "48", ""},
      {"54", "54", ""},
      {"99", "99", ""},
      {"letter second", "5m", ""},
      {"letter first", "m5", ""},
      {"minus", "-1", ""},
      {"plus second", "1+", ""},
      {"two pluses", "++", ""},
      {"space first", " 5", ""},
      {"space second", "5 ", ""},
      {"nul", std::string_view("\0" "5", 2), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto t = mjai::tile_from_chars(c.chars[0], c.chars[1]);
    if (c.want.empty()) {
      EXPECT_FALSE(t.has_value());
    } else {
      ASSERT_TRUE(t.has_value());
      EXPECT_EQ(mjai::tile_name(*t), c.want);
    }
  }
}

TEST(tile_test, from_chars_agrees_with_codes) {
  for (int code = 0; code < 100; ++code) {
    SCOPED_TRACE(code);
    const char a = static_cast<char>('0' + code / 10), b = static_cast<char>('0' + code % 10);
    EXPECT_EQ(mjai::tile_from_chars(a, b), mjai::tile_from_code(static_cast<std::uint8_t>(code)));
  }
}

TEST(tile_test, seat_arithmetic) {
  struct Case {
    mjai::Seat s, prev, opposite, next;
  } cases[] = {{0, 3, 2, 1}, {1, 0, 3, 2}, {2, 1, 0, 3}, {3, 2, 1, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.s));
    EXPECT_EQ(mjai::prev_seat(c.s), c.prev);
    EXPECT_EQ(mjai::opposite_seat(c.s), c.opposite);
    EXPECT_EQ(mjai::next_seat(c.s), c.next);
  }
  static_assert(mjai::next_seat(3) == 0 && mjai::prev_seat(0) == 3);
}

}  // namespace
