// Decoding of one seat's take and discard entries, with the tsumogiri fill-in.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "kyoku_builder.h"

namespace kifuzan::test {
namespace {

using conv::ActionItem;
using conv::ErrorKind;
using namespace want;

ActionItem T(int code) { return {ActionItem::Kind::tile, mjai::tile_from_code(code)->id, {}}; }
ActionItem N(int n) { return {ActionItem::Kind::number, static_cast<std::uint8_t>(n), {}}; }
ActionItem S(std::string s) { return {ActionItem::Kind::text, 0, std::move(s)}; }

conv::Kyoku kyoku_with(mjai::Seat s, std::vector<ActionItem> takes, std::vector<ActionItem> discards) {
  conv::Kyoku k;
  k.seats[s].takes = std::move(takes);
  k.seats[s].discards = std::move(discards);
  return k;
}

struct DecodeCase {
  const char* name;
  mjai::Seat seat;
  std::vector<ActionItem> takes, discards;
  std::vector<std::string> want_takes, want_discards;
};

TEST(decode_test, decodes_entries) {
  const DecodeCase cases[] = {
      {"tiles draw as they are", 0, {T(11), T(53), T(0)}, {},
       {tsumo(0, "1m"), tsumo(0, "5sr"), tsumo(0, "?")}, {}},
      {"chi takes from the previous seat", 1, {S("c275226")}, {},
       {chi(1, 0, "7p", "5pr", "6p")}, {}},
      {"chi of seat 0 names seat 3", 0, {S("c131214")}, {}, {chi(0, 3, "3m", "2m", "4m")}, {}},
      {"pon marked first is from the previous seat", 1, {S("p252552")}, {},
       {pon(1, 0, "5p", "5p", "5pr")}, {}},
      {"pon marked in the middle is from across", 0, {S("25p2552")}, {},
       {pon(0, 2, "5p", "5p", "5pr")}, {}},
      {"pon marked last is from the next seat", 2, {S("5225p25")}, {},
       {pon(2, 3, "5p", "5pr", "5p")}, {}},
      {"daiminkan marked first", 3, {S("m35353553")}, {},
       {daiminkan(3, 2, "5s", {"5s", "5s", "5sr"})}, {}},
      {"daiminkan marked at 2", 0, {S("35m355335")}, {},
       {daiminkan(0, 2, "5s", {"5s", "5sr", "5s"})}, {}},
      {"daiminkan marked at 6", 2, {S("535335m35")}, {},
       {daiminkan(2, 3, "5s", {"5sr", "5sr", "5s"})}, {}},
      {"hand and tsumogiri discards without takes", 0, {}, {T(21), N(60), N(7), T(0)}, {},
       {dahai(0, "1p", false), dahai(0, "?", true), dahai(0, "?", true), dahai(0, "?", false)}},
      {"kakan marked first", 0, {}, {S("k52252525")}, {}, {kakan(0, "5pr", {"5p", "5p", "5p"})}},
      {"kakan marked at 2", 1, {}, {S("25k522525")}, {}, {kakan(1, "5pr", {"5p", "5p", "5p"})}},
      {"kakan marked at 4", 2, {}, {S("2525k5225")}, {}, {kakan(2, "5pr", {"5p", "5p", "5p"})}},
      {"ankan", 3, {}, {S("535353a35")}, {}, {ankan(3, {"5sr", "5sr", "5sr", "5s"})}},
      {"riichi on a hand tile", 0, {}, {S("r15")}, {}, {reach(0), dahai(0, "5m", false)}},
      {"riichi mark is not examined", 0, {}, {S("x51")}, {}, {reach(0), dahai(0, "5mr", false)}},
      {"riichi tsumogiri stays unknown without takes", 2, {}, {S("r60"), S("r00")}, {},
       {reach(2), dahai(2, "?", true), reach(2), dahai(2, "?", true)}},
      // fill-in
      {"tsumogiri takes the paired draw", 0, {T(11), T(12)}, {N(60), N(60)},
       {tsumo(0, "1m"), tsumo(0, "2m")}, {dahai(0, "1m", true), dahai(0, "2m", true)}},
      {"riichi shares the slot of its discard", 0, {T(11), T(12), T(13)}, {T(21), S("r60"), S("r00")},
       {tsumo(0, "1m"), tsumo(0, "2m"), tsumo(0, "3m")},
       {dahai(0, "1p", false), reach(0), dahai(0, "2m", true), reach(0), dahai(0, "3m", true)}},
      {"hand-discarded unknown is dropped and its slot reused", 1,
       {T(11), S("m11111111"), T(13), T(14)}, {N(60), T(0), N(60), N(60)},
       {tsumo(1, "1m"), daiminkan(1, 0, "1m", {"1m", "1m", "1m"}), tsumo(1, "3m"), tsumo(1, "4m")},
       {dahai(1, "1m", true), dahai(1, "3m", true), dahai(1, "4m", true)}},
      {"tsumogiri paired with a call stays unknown", 1, {S("c232224")}, {N(60)},
       {chi(1, 0, "3p", "2p", "4p")}, {dahai(1, "?", true)}},
      {"tsumogiri past the last take stays unknown", 0, {T(11)}, {N(60), N(60)}, {tsumo(0, "1m")},
       {dahai(0, "1m", true), dahai(0, "?", true)}},
      {"fill-in stops with the takes", 0, {T(11)}, {T(0), N(60)}, {tsumo(0, "1m")},
       {dahai(0, "?", true)}},
      {"kan slots pair with draws", 0, {T(11), T(12), T(13)}, {S("k13131313"), S("131313a13"), N(60)},
       {tsumo(0, "1m"), tsumo(0, "2m"), tsumo(0, "3m")},
       {kakan(0, "3m", {"3m", "3m", "3m"}), ankan(0, {"3m", "3m", "3m", "3m"}),
        dahai(0, "3m", true)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = conv::decode_seat(kyoku_with(c.seat, c.takes, c.discards), c.seat);
    ASSERT_TRUE(r.ok()) << static_cast<int>(r.error().kind) << " " << r.error().text;
    EXPECT_EQ(serialized(r.value().takes), c.want_takes);
    EXPECT_EQ(serialized(r.value().discards), c.want_discards);
  }
}

struct DecodeErrorCase {
  const char* name;
  std::vector<ActionItem> takes, discards;
  ErrorKind kind;
  std::optional<std::string> text;  // the carried text, where there is one
};

TEST(decode_test, rejects_entries) {
  using K = ErrorKind;
  const DecodeErrorCase cases[] = {
      {"number among the takes", {T(11), N(60)}, {}, K::number_in_take_list, std::nullopt},
      {"chi of 6 characters", {S("c27522")}, {}, K::invalid_action_item, "c27522"},
      {"pon of 8 characters", {S("p2752266")}, {}, K::invalid_action_item, "p2752266"},
      {"chi of 14 characters", {S("c2752266666666")}, {}, K::invalid_action_item, "c2752266666666"},
      {"pon marked at 6", {S("252525p")}, {}, K::invalid_action_item, "252525p"},
      {"daiminkan of 7 characters", {S("m393939")}, {}, K::invalid_action_item, "m393939"},
      {"daiminkan marked at 4", {S("3939m3939")}, {}, K::invalid_action_item, "3939m3939"},
      {"take text without a call mark", {S("r60")}, {}, K::invalid_action_item, "r60"},
      // A text with "c" is a chi whatever else it holds; with "p" a pon before a kan.
      {"chi is tried before pon", {S("c11111p")}, {}, K::invalid_tile_text, "1p"},
      {"pon is tried before daiminkan", {S("p11m111")}, {}, K::invalid_tile_text, "m1"},
      {"chi mark elsewhere breaks a tile", {S("1c23456")}, {}, K::invalid_tile_text, "c2"},
      {"chi reads pai first", {S("c05xx11")}, {}, K::invalid_tile_text, "05"},
      {"chi reads consumed left to right", {S("c11+560")}, {}, K::invalid_tile_text, "+5"},
      {"pon from across reads pai first", {S("xxp6019")}, {}, K::invalid_tile_text, "60"},
      {"daiminkan from the next seat reads pai first", {S("1x1y12m05")}, {}, K::invalid_tile_text, "05"},
      {"signed code in a chi", {S("c-51111")}, {}, K::invalid_tile_text, "-5"},
      {"kakan of 7 characters", {}, {S("k131313")}, K::invalid_action_item, "k131313"},
      {"kakan marked at 6", {}, {S("131313k13")}, K::invalid_action_item, "131313k13"},
      {"short ankan is no riichi", {}, {S("a39")}, K::invalid_action_item, "a39"},
      {"short kakan is no riichi", {}, {S("k39")}, K::invalid_action_item, "k39"},
      {"ankan mark elsewhere breaks a tile", {}, {S("a35353535")}, K::invalid_tile_text, "a3"},
      {"riichi with a bad code", {}, {S("r05")}, K::invalid_tile_text, "05"},
      {"text of 2 characters", {}, {S("r6")}, K::invalid_action_item, "r6"},
      {"text of 4 characters", {}, {S("r600")}, K::invalid_action_item, "r600"},
      {"empty text", {}, {S("")}, K::invalid_action_item, ""},
      {"bad discard after good ones", {T(11)}, {N(60), S("zz")}, K::invalid_action_item, "zz"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = conv::decode_seat(kyoku_with(1, c.takes, c.discards), 1);
    ASSERT_FALSE(r.ok());
    const conv::Error& e = r.error();
    EXPECT_EQ(e.kind, c.kind);
    if (c.text) {
      EXPECT_EQ(e.text, *c.text);
    }
    // Every table row breaks the last entry of its last non-empty list.
    const auto& list = c.discards.empty() ? c.takes : c.discards;
    EXPECT_EQ(e.field, c.discards.empty() ? conv::Field::takes : conv::Field::discards);
    EXPECT_EQ(e.seat, 1);
    EXPECT_EQ(e.entry, list.size() - 1);
    if (c.kind == K::invalid_tile_text) {
      EXPECT_EQ(e.item, list.back().text);
    }
  }
}

TEST(decode_test, plus_sign_reads_as_a_digit) {
  // A leading "+" counts as a digit place: "+0" is code 0, the unknown tile
  // (while "+5" is code 5, no tile).
  auto r = conv::decode_seat(kyoku_with(1, {S("c+01112")}, {}), 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(serialized(r.value().takes), std::vector<std::string>{chi(1, 0, "?", "1m", "2m")});
}

// Seats decode one after another into one list; a dropped "?" must not
// disturb what came before or leave a gap.
TEST(decode_test, appends_to_shared_list) {
  std::vector<conv::Event> events;
  conv::SeatEvents first, second;
  ASSERT_TRUE(conv::decode_seat_into(kyoku_with(2, {T(11)}, {N(60)}), 2, events, first));
  ASSERT_TRUE(conv::decode_seat_into(kyoku_with(3, {T(12), T(13)}, {T(0), T(21)}), 3, events, second));
  EXPECT_EQ(serialized(events), (std::vector<std::string>{tsumo(2, "1m"), dahai(2, "1m", true), tsumo(3, "2m"),
                                                          tsumo(3, "3m"), dahai(3, "1p", false)}));
  EXPECT_EQ((std::array{first.takes, first.takes_end, first.discards, first.discards_end}),
            (std::array<std::uint32_t, 4>{0, 1, 1, 2}));
  EXPECT_EQ((std::array{second.takes, second.takes_end, second.discards, second.discards_end}),
            (std::array<std::uint32_t, 4>{2, 4, 4, 5}));
  auto r = conv::decode_seat_into(kyoku_with(2, {S("c1")}, {}), 2, events, first);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ErrorKind::invalid_action_item);
}

}  // namespace
}  // namespace kifuzan::test
