// Turn reconstruction and kyoku results: whole kyoku streams from small logs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kyoku_builder.h"

namespace kifuzan::test {
namespace {

using conv::ErrorKind;
using conv::Field;
using namespace want;

struct PlayCase {
  const char* name;
  KyokuSpec kyoku;
  std::vector<std::string> want;  // after start_kyoku, through end_kyoku
};

void check_streams(const std::vector<PlayCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run(game_text({c.kyoku}));
    ASSERT_FALSE(r.failed) << (r.error ? conv::describe(*r.error) : "no error");
    ASSERT_GE(r.lines.size(), 4u);
    EXPECT_EQ(r.lines.back(), end_game);
    EXPECT_EQ(kyoku_lines(r), c.want);
  }
}

TEST(play_test, turn_order) {
  check_streams({
      {"each seat in turn, drawn out after the last discard",
       KyokuSpec().seat(0, "[11]", "[21]").seat(1, "[12]", "[60]").seat(2, "[13]", "[22]").seat(3, "[14]", "[60]"),
       {tsumo(0, "1m"), dahai(0, "1p", false), tsumo(1, "2m"), dahai(1, "2m", true), tsumo(2, "3m"),
        dahai(2, "2p", false), tsumo(3, "4m"), dahai(3, "4m", true), drawn, end_kyoku}},
      {"the oya of kyoku index 2 starts",
       KyokuSpec().with_round("[2,0,0]").seat(0, "[11]", "[21]").seat(1, "[12]", "[60]")
           .seat(2, "[13]", "[22]").seat(3, "[14]", "[60]"),
       {tsumo(2, "3m"), dahai(2, "2p", false), tsumo(3, "4m"), dahai(3, "4m", true), tsumo(0, "1m"),
        dahai(0, "1p", false), tsumo(1, "2m"), dahai(1, "2m", true), drawn, end_kyoku}},
      {"discards left when the takes run out are ignored", KyokuSpec().seat(0, "[11]", "[21,22]"),
       {tsumo(0, "1m"), dahai(0, "1p", false), drawn, end_kyoku}},
      {"a take with no discard after it ends play",
       KyokuSpec().seat(0, "[11,12]", "[21]").seat(1, "[13]", "[]")
           .with_result(R"(["和了",[-1000,3000,-1000,-1000],[1,1,"x"]])"),
       {tsumo(0, "1m"), dahai(0, "1p", false), tsumo(1, "3m"), hora(1, 1, {-1000, 3000, -1000, -1000}, {}),
        end_kyoku}},
      {"pon from across skips the next seat",
       KyokuSpec().seat(0, "[11,16]", "[15,60]").seat(1, "[12]", "[60]").seat(2, R"(["15p1515"])", "[21]")
           .seat(3, "[13]", "[60]"),
       {tsumo(0, "1m"), dahai(0, "5m", false), pon(2, 0, "5m", "5m", "5m"), dahai(2, "1p", false),
        tsumo(3, "3m"), dahai(3, "3m", true), tsumo(0, "6m"), dahai(0, "6m", true), tsumo(1, "2m"),
        dahai(1, "2m", true), drawn, end_kyoku}},
      {"a call of the unknown tile before any discard passes",
       KyokuSpec().seat(0, R"(["c001112"])", "[21]"),
       {chi(0, 3, "?", "1m", "2m"), dahai(0, "1p", false), drawn, end_kyoku}},
  });
}

// Seat 0 draws 1m and discards 3m; the callers have no discard, so play ends
// with the call that won.
KyokuSpec on_3m(std::array<const char*, 4> takes) {
  KyokuSpec k;
  k.seat(0, "[11]", "[13]");
  for (int s = 1; s < 4; ++s) k.takes[s] = takes[s];
  return k;
}

TEST(play_test, call_ranking) {
  const std::vector<std::string> head = {tsumo(0, "1m"), dahai(0, "3m", false)};
  const auto then = [&](std::string e) {
    auto v = head;
    v.insert(v.end(), {std::move(e), drawn, end_kyoku});
    return v;
  };
  check_streams({
      {"pon beats chi", on_3m({"", R"(["c131214"])", "[]", R"(["1313p13"])"}),
       then(pon(3, 0, "3m", "3m", "3m"))},
      {"later seat wins between pons", on_3m({"", R"(["p131313"])", "[]", R"(["1313p13"])"}),
       then(pon(3, 0, "3m", "3m", "3m"))},
      {"chi beats daiminkan", on_3m({"", R"(["c131214"])", R"(["13m131313"])", "[]"}),
       then(chi(1, 0, "3m", "2m", "4m"))},
      {"pon of a lower seat beats daiminkan", on_3m({"", "[]", R"(["13p1313"])", R"(["131313m13"])"}),
       then(pon(2, 0, "3m", "3m", "3m"))},
      {"calls on another discarder or tile are no candidates",
       on_3m({"", "[12]", R"(["14p1414"])", R"(["13p1313"])"}), then(tsumo(1, "2m"))},
  });
}

TEST(play_test, riichi) {
  check_streams({
      {"accepted before the next draw",
       KyokuSpec().seat(0, "[11]", "[21]").seat(1, "[12]", R"(["r60"])").seat(2, "[13]", "[60]"),
       {tsumo(0, "1m"), dahai(0, "1p", false), tsumo(1, "2m"), reach(1), dahai(1, "2m", true),
        reach_accepted(1), tsumo(2, "3m"), dahai(2, "3m", true), drawn, end_kyoku}},
      {"accepted before a call by another seat",
       KyokuSpec().seat(0, "[11]", "[21]").seat(1, "[12]", R"(["r13"])").seat(3, R"(["13p1313"])", "[22]"),
       {tsumo(0, "1m"), dahai(0, "1p", false), tsumo(1, "2m"), reach(1), dahai(1, "3m", false),
        reach_accepted(1), pon(3, 1, "3m", "3m", "3m"), dahai(3, "2p", false), drawn, end_kyoku}},
      {"never accepted when won on",
       KyokuSpec().seat(0, "[11]", "[21]").seat(1, "[12]", R"(["r60"])").with_ura("[31]")
           .with_result(R"(["和了",[0,-8000,8000,0],[2,1,"x"]])"),
       {tsumo(0, "1m"), dahai(0, "1p", false), tsumo(1, "2m"), reach(1), dahai(1, "2m", true),
        hora(2, 1, {0, -8000, 8000, 0}, {"1s"}), end_kyoku}},
  });
}

TEST(play_test, kans_reveal_dora) {
  check_streams({
      {"daiminkan: replacement draw, dora, discard",
       KyokuSpec().seat(0, "[11]", "[13]").seat(2, R"(["13m131313",17])", "[0,60]"),
       {tsumo(0, "1m"), dahai(0, "3m", false), daiminkan(2, 0, "3m", {"3m", "3m", "3m"}), tsumo(2, "7m"), dora("1p"),
        dahai(2, "7m", true), drawn, end_kyoku}},
      {"kakan: replacement draw, dora, discard", KyokuSpec().seat(0, "[11,12]", R"(["k13131313",60])"),
       {tsumo(0, "1m"), kakan(0, "3m", {"3m", "3m", "3m"}), tsumo(0, "2m"), dora("1p"), dahai(0, "2m", true), drawn,
        end_kyoku}},
      {"ankan: dora, replacement draw, discard", KyokuSpec().seat(0, "[11,12]", R"(["131313a13",60])"),
       {tsumo(0, "1m"), ankan(0, {"3m", "3m", "3m", "3m"}), dora("1p"), tsumo(0, "2m"),
        dahai(0, "2m", true), drawn, end_kyoku}},
      {"daiminkan then kakan",
       KyokuSpec().seat(0, "[11]", "[13]").seat(2, R"(["13m131313",17,18])", R"([0,"k17171717",60])"),
       {tsumo(0, "1m"), dahai(0, "3m", false), daiminkan(2, 0, "3m", {"3m", "3m", "3m"}), tsumo(2, "7m"),
        kakan(2, "7m", {"7m", "7m", "7m"}), dora("1p"), tsumo(2, "8m"), dora("2p"), dahai(2, "8m", true),
        drawn, end_kyoku}},
      {"daiminkan then ankan",
       KyokuSpec().seat(0, "[11]", "[13]").seat(2, R"(["13m131313",17,18])", R"([0,"171717a17",60])"),
       {tsumo(0, "1m"), dahai(0, "3m", false), daiminkan(2, 0, "3m", {"3m", "3m", "3m"}), tsumo(2, "7m"), dora("1p"),
        ankan(2, {"7m", "7m", "7m", "7m"}), dora("2p"), tsumo(2, "8m"), dahai(2, "8m", true), drawn,
        end_kyoku}},
      {"riichi after a kakan's draw defers the dora to the next discard",
       KyokuSpec().seat(0, "[11,12]", R"(["k13131313","r60"])").seat(1, "[14]", "[60]"),
       {tsumo(0, "1m"), kakan(0, "3m", {"3m", "3m", "3m"}), tsumo(0, "2m"), reach(0), dahai(0, "2m", true),
        reach_accepted(0), tsumo(1, "4m"), dora("1p"), dahai(1, "4m", true), drawn, end_kyoku}},
      {"deferred dora comes before another seat's ankan",
       KyokuSpec().seat(0, "[11,12]", R"(["k13131313","r60"])").seat(1, "[14,15]", R"(["141414a14",60])"),
       {tsumo(0, "1m"), kakan(0, "3m", {"3m", "3m", "3m"}), tsumo(0, "2m"), reach(0), dahai(0, "2m", true),
        reach_accepted(0), tsumo(1, "4m"), dora("1p"), ankan(1, {"4m", "4m", "4m", "4m"}), dora("2p"),
        tsumo(1, "5m"), dahai(1, "5m", true), drawn, end_kyoku}},
      {"a kan that ends play reveals nothing",
       KyokuSpec().with_dora("[11]").seat(0, "[11]", R"(["131313a13"])"),
       {tsumo(0, "1m"), ankan(0, {"3m", "3m", "3m", "3m"}), drawn, end_kyoku}},
  });
}

// Seat 0 discards 3p again and again while a call of 3p from seat 0 waits;
// each later 3p keeps the rule in force. Marks go call, no call, no call, call.
TEST(play_test, ambiguity_rule) {
  const auto p3 = [](int a) { return pon(a, 0, "3p", "3p", "3p"); };
  const auto c3 = chi(1, 0, "3p", "2p", "4p");
  const auto d3 = dahai(0, "3p", false);
  check_streams({
      {"first discard of a repeated tile is called",
       KyokuSpec().seat(0, "[11,12]", "[23,23]").seat(1, "[13]", "[60]").seat(2, R"(["23p2323"])", "[31]")
           .seat(3, "[14]", "[60]"),
       {tsumo(0, "1m"), d3, p3(2), dahai(2, "1s", false), tsumo(3, "4m"), dahai(3, "4m", true),
        tsumo(0, "2m"), d3, tsumo(1, "3m"), dahai(1, "3m", true), drawn, end_kyoku}},
      {"second is passed to the next seat",
       KyokuSpec().seat(0, "[11,12]", "[23,23,23]").seat(1, "[19]", "[]")
           .seat(2, R"(["23p2323","23p2323"])", "[31]").seat(3, "[41]", "[60]"),
       {tsumo(0, "1m"), d3, p3(2), dahai(2, "1s", false), tsumo(3, "E"), dahai(3, "E", true),
        tsumo(0, "2m"), d3, tsumo(1, "9m"), drawn, end_kyoku}},
      {"refused call by the next seat is still made, third is passed too",
       KyokuSpec().seat(0, "[11,12,13]", "[23,23,23,23]").seat(1, R"(["c232224",19])", "[39]")
           .seat(2, R"(["23p2323",33,"23p2323"])", "[31,60]").seat(3, "[41,42]", "[60,60]"),
       {tsumo(0, "1m"), d3, p3(2), dahai(2, "1s", false), tsumo(3, "E"), dahai(3, "E", true),
        tsumo(0, "2m"), d3, c3, dahai(1, "9s", false), tsumo(2, "3s"), dahai(2, "3s", true),
        tsumo(3, "S"), dahai(3, "S", true), tsumo(0, "3m"), d3, tsumo(1, "9m"), drawn, end_kyoku}},
      {"last copy of the tile is called whatever the mark",
       KyokuSpec().seat(0, "[11,12]", "[23,23,21]").seat(2, R"(["23p2323","23p2323"])", "[31,32]")
           .seat(3, "[14]", "[60]"),
       {tsumo(0, "1m"), d3, p3(2), dahai(2, "1s", false), tsumo(3, "4m"), dahai(3, "4m", true),
        tsumo(0, "2m"), d3, p3(2), dahai(2, "2s", false), drawn, end_kyoku}},
      {"fourth is called again",
       KyokuSpec().seat(0, "[11,12,13,14]", "[23,23,23,23,23]")
           .seat(1, R"(["c232224","c232224",19])", "[39,39]")
           .seat(2, R"(["23p2323",33,34,"23p2323"])", "[31,60,60]").seat(3, "[41,42,43]", "[60,60,60]"),
       {tsumo(0, "1m"), d3, p3(2), dahai(2, "1s", false), tsumo(3, "E"), dahai(3, "E", true),
        tsumo(0, "2m"), d3, c3, dahai(1, "9s", false), tsumo(2, "3s"), dahai(2, "3s", true),
        tsumo(3, "S"), dahai(3, "S", true), tsumo(0, "3m"), d3, c3, dahai(1, "9s", false),
        tsumo(2, "4s"), dahai(2, "4s", true), tsumo(3, "W"), dahai(3, "W", true), tsumo(0, "4m"), d3,
        p3(2), drawn, end_kyoku}},
  });
}

TEST(play_test, results) {
  const auto won = [](const char* ura, const char* result) {
    return KyokuSpec().seat(0, "[11]", "[]").with_ura(ura).with_result(result);
  };
  const auto t = tsumo(0, "1m");
  check_streams({
      {"one win carries the whole ura list", won("[21,53]", R"(["和了",[0,8000,-8000,0],[1,2,"x"]])"),
       {t, hora(1, 2, {0, 8000, -8000, 0}, {"1p", "5sr"}), end_kyoku}},
      {"double ron in listed order",
       won("[21]", R"(["和了",[0,8000,-8000,0],[1,2,"a"],[0,0,-12000,12000],[3,2,"b"]])"),
       {t, hora(1, 2, {0, 8000, -8000, 0}, {"1p"}), hora(3, 2, {0, 0, -12000, 12000}, {"1p"}), end_kyoku}},
      {"no ura indicators", won("[]", R"(["和了",[12000,-4000,-4000,-4000],[0,0,"x"]])"),
       {t, hora(0, 0, {12000, -4000, -4000, -4000}, {}), end_kyoku}},
      {"empty hora list", won("[21]", R"(["和了"])"), {t, end_kyoku}},
      {"draw with deltas", won("[21]", R"(["流局",[1500,-1500,1500,-1500]])"),
       {t, ryukyoku({1500, -1500, 1500, -1500}), end_kyoku}},
  });
}

struct PlayErrorCase {
  const char* name;
  KyokuSpec kyoku;
  ErrorKind want;
  int seat;
  Field field;
  std::size_t entry;  // in the record's list, so past the events a riichi or a dropped "?" adds
};

TEST(play_test, rejects_inconsistent_play) {
  using K = ErrorKind;
  const PlayErrorCase cases[] = {
      {"call as the first take", KyokuSpec().seat(0, R"(["c131214"])", "[21]"), K::call_mismatch, 0, Field::takes, 0},
      {"call naming another discarder", KyokuSpec().seat(0, "[11]", "[13]").seat(1, R"(["13p1313"])", "[]"),
       K::call_mismatch, 1, Field::takes, 0},
      {"call of another tile", KyokuSpec().seat(0, "[11]", "[13]").seat(1, R"(["p141414"])", "[]"),
       K::call_mismatch, 1, Field::takes, 0},
      {"seat due to take has none left",
       KyokuSpec().seat(0, "[11]", "[21]").seat(2, "[13]", "[60]"), K::missing_take, 1, Field::takes, 0},
      {"daiminkan's dora with no indicator left, after a dropped unknown discard",
       KyokuSpec().with_dora("[11]").seat(0, "[11]", "[13]").seat(2, R"(["13m131313",17])", "[0,60]"),
       K::missing_dora_marker, 2, Field::discards, 1},
      {"second kan's dora with no indicator left",
       KyokuSpec().with_dora("[11,21]").seat(0, "[11,12,13]", R"(["131313a13","121212a12",60])"),
       K::missing_dora_marker, 0, Field::discards, 1},
      {"kakan's dora after a riichi counts the riichi as one entry",
       KyokuSpec().with_dora("[11]").seat(0, "[11,12,13]", R"(["r60","k13131313",60])").seat(1, "[14]", "[21]")
           .seat(2, "[15]", "[60]").seat(3, "[16]", "[60]"),
       K::missing_dora_marker, 0, Field::discards, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run(game_text({c.kyoku}));
    ASSERT_EQ(r.failed, conv::Stage::convert);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->kind, c.want) << conv::describe(*r.error);
    EXPECT_EQ(r.error->kyoku, 0u);
    EXPECT_EQ(r.error->seat, c.seat);
    EXPECT_EQ(r.error->field, c.field);
    EXPECT_EQ(r.error->entry, c.entry);
  }
}

// Shapes the decoder never makes, fed to play_kyoku directly.
TEST(play_test, rejects_hand_made_records) {
  using mjai::Tile;
  const Tile m1{0}, m3{2};
  struct Case {
    const char* name;
    std::array<conv::SeatLists, 4> seats;
    ErrorKind want;
  };
  const Case cases[] = {
      {"riichi ending its discard list",
       {conv::SeatLists{{mjai::Tsumo{0, m1}}, {mjai::Reach{0}}}, {}, {}, {}},
       ErrorKind::reach_without_discard},
      {"call naming the caller itself",
       {conv::SeatLists{{mjai::Tsumo{0, m1}}, {mjai::Dahai{0, m3, false}}},
        conv::SeatLists{{mjai::Pon{1, 1, m3, {m3, m3}}}, {}}, {}, {}},
       ErrorKind::call_mismatch},
  };
  conv::Kyoku k;
  k.dora_indicators = {m1};
  k.result = mjai::Deltas{};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    conv::Block block;
    std::array<conv::SeatEvents, 4> seats;
    for (std::size_t s = 0; s < 4; ++s) {
      auto& e = block.events;
      seats[s].takes = static_cast<std::uint32_t>(e.size());
      e.insert(e.end(), c.seats[s].takes.begin(), c.seats[s].takes.end());
      seats[s].takes_end = seats[s].discards = static_cast<std::uint32_t>(e.size());
      e.insert(e.end(), c.seats[s].discards.begin(), c.seats[s].discards.end());
      seats[s].discards_end = static_cast<std::uint32_t>(e.size());
    }
    auto r = conv::play_kyoku(k, seats, 0, block);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, c.want);
  }
}

}  // namespace
}  // namespace kifuzan::test
