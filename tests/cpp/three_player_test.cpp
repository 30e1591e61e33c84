// Three-player records: the order of play over three seats, kitas, the three
// mjai forms and the refusals. The shared records, and the four-player ones
// through the same path, are tests/python/test_three_player.py's.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kyoku_builder.h"

namespace kifuzan::test {
namespace {

using conv::ErrorKind;
using conv::Field;
using conv::Stage;
using conv::ThreePlayerForm;
using namespace want;

// Tiles a three-player set has: no 2m-8m.
constexpr const char* hand3 = "[11,19,21,22,23,24,25,26,27,28,29,31,32]";
constexpr const char* hand3_north = "[11,19,21,22,23,24,25,26,27,28,29,31,44]";
constexpr const char* rule3 = R"({"disp":"三般南喰赤","aka":1})";
constexpr const char* names3 = R"(["A","B","C",""])";

KyokuSpec kyoku3() {
  KyokuSpec k;
  k.scores = "[35000,35000,35000,0]";
  k.dora = "[21,22,23]";
  for (int s = 0; s < 3; ++s) k.haipai[s] = hand3;
  k.haipai[3] = "[]";
  k.result = R"(["流局",[0,0,0,0]])";
  return k;
}

std::string game3(const std::vector<KyokuSpec>& kyokus) { return game_text(kyokus, names3, rule3); }

Outcome run_any(std::string_view text, ThreePlayerForm form = ThreePlayerForm::nukidora) {
  conv::Options options;
  options.any_players = true;
  options.form = form;
  Outcome out;
  auto r = conv::convert_text(conv::PaddedText(text), options);
  if (r) {
    const conv::LinesView lines = r.value().view();
    for (std::size_t i = 0; i < lines.size(); ++i) out.lines.emplace_back(lines.line(i));
  } else {
    out.failed = conv::stage_of(r.error().kind);
    out.error = std::move(r).error();
  }
  return out;
}

std::string kita(int a) { return R"({"type":"nukidora","actor":)" + num(a) + R"(,"pai":"N"})"; }
const std::string drawn3 = R"({"type":"ryukyoku","deltas":[0,0,0]})";

struct PlayCase {
  const char* name;
  KyokuSpec kyoku;
  std::vector<std::string> want;  // after start_kyoku, through end_kyoku
};

TEST(three_player_test, order_of_play) {
  auto with_hand = [](KyokuSpec k, int s, const char* h) {
    k.haipai[s] = h;
    return k;
  };
  const PlayCase cases[] = {
      {"the turn passes from seat 2 to seat 0",
       kyoku3().with_round("[2,0,0]").seat(2, "[11]", "[21]").seat(0, "[19]", "[60]").seat(1, "[22]", "[60]"),
       {tsumo(2, "1m"), dahai(2, "1p", false), tsumo(0, "9m"), dahai(0, "9m", true), tsumo(1, "2p"),
        dahai(1, "2p", true), drawn3, end_kyoku}},
      {"a kita is followed by the same seat's replacement draw",
       with_hand(kyoku3(), 0, hand3_north).seat(0, "[31,33]", R"(["f44",21])").seat(1, "[34]", "[60]"),
       {tsumo(0, "1s"), kita(0), tsumo(0, "3s"), dahai(0, "1p", false), tsumo(1, "4s"), dahai(1, "4s", true),
        drawn3, end_kyoku}},
      {"a North drawn before the kita is set aside",
       kyoku3().seat(0, "[44,33]", R"(["f44",60])"),
       {tsumo(0, "N"), kita(0), tsumo(0, "3s"), dahai(0, "3s", true), drawn3, end_kyoku}},
      {"a kan's dora comes before a kita after its replacement draw",
       with_hand(with_hand(kyoku3(), 1, "[21,21,21,44,19,22,23,24,25,26,27,28,29]"), 0, hand3)
           .seat(0, "[11]", "[21]")
           .seat(1, R"(["m21212121",33,34])", R"([0,"f44",22])"),
       {tsumo(0, "1m"), dahai(0, "1p", false), daiminkan(1, 0, "1p", {"1p", "1p", "1p"}), tsumo(1, "3s"),
        dora("2p"), kita(1), tsumo(1, "4s"), dahai(1, "2p", false), drawn3, end_kyoku}},
      {"seat 0 pons seat 2's discard, written as from across",
       kyoku3().with_round("[2,0,0]").seat(2, "[33,42]", "[21]").seat(0, R"(["21p2121"])", "[22]")
           .seat(1, "[34]", "[60]").with_result(R"(["和了",[-1000,-1000,2000,0],[2,2,2,"1000点"]])"),
       {tsumo(2, "3s"), dahai(2, "1p", false), pon(0, 2, "1p", "1p", "1p"), dahai(0, "2p", false),
        tsumo(1, "4s"), dahai(1, "4s", true), tsumo(2, "S"),
        R"({"type":"hora","actor":2,"target":2,"deltas":[-1000,-1000,2000],"ura_markers":[]})", end_kyoku}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run_any(game3({c.kyoku}));
    ASSERT_FALSE(r.failed) << conv::describe(*r.error);
    EXPECT_EQ(kyoku_lines(r), c.want);
  }
}

// The forms differ in the kita's name and in the padded fourth seat only.
TEST(three_player_test, forms) {
  KyokuSpec k = kyoku3().seat(0, "[44,33]", R"(["f44",60])");
  k.result = R"(["流局",[1000,1000,-2000,0]])";
  const std::string text = game3({k});
  const std::string hands = R"(["1m","9m","1p","2p","3p","4p","5p","6p","7p","8p","9p","1s","2s"])";
  const std::string start = R"({"type":"start_kyoku","bakaze":"E","dora_marker":"1p","kyoku":1,"honba":0,)"
                            R"("kyotaku":0,"oya":0,"scores":)";
  struct Case {
    ThreePlayerForm form;
    std::vector<std::string> want;
  } cases[] = {
      {ThreePlayerForm::nukidora,
       {R"({"type":"start_game","names":["A","B","C"],"kyoku_first":0,"aka_flag":true})",
        start + "[35000,35000,35000],\"tehais\":[" + hands + "," + hands + "," + hands + "]}", tsumo(0, "N"),
        R"({"type":"nukidora","actor":0,"pai":"N"})", tsumo(0, "3s"), dahai(0, "3s", true),
        R"({"type":"ryukyoku","deltas":[1000,1000,-2000]})", end_kyoku, end_game}},
      {ThreePlayerForm::kita,
       {R"({"type":"start_game","names":["A","B","C"],"kyoku_first":0,"aka_flag":true})",
        start + "[35000,35000,35000],\"tehais\":[" + hands + "," + hands + "," + hands + "]}", tsumo(0, "N"),
        R"({"type":"kita","actor":0,"pai":"N"})", tsumo(0, "3s"), dahai(0, "3s", true),
        R"({"type":"ryukyoku","deltas":[1000,1000,-2000]})", end_kyoku, end_game}},
      {ThreePlayerForm::nukidora4,
       {R"({"type":"start_game","names":["A","B","C",""],"kyoku_first":0,"aka_flag":true})",
        start + "[35000,35000,35000,0],\"tehais\":[" + hands + "," + hands + "," + hands +
            R"(,["?","?","?","?","?","?","?","?","?","?","?","?","?"]]})",
        tsumo(0, "N"), R"({"type":"nukidora","actor":0,"pai":"N"})", tsumo(0, "3s"), dahai(0, "3s", true),
        R"({"type":"ryukyoku","deltas":[1000,1000,-2000,0]})", end_kyoku, end_game}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.form));
    const Outcome r = run_any(text, c.form);
    ASSERT_FALSE(r.failed) << conv::describe(*r.error);
    EXPECT_EQ(r.lines, c.want);
  }
}

// What the package's route refuses, where _kifuzan's reading has nothing to
// say or refuses for another reason.
TEST(three_player_test, refusals) {
  auto four_hands = [] {
    KyokuSpec k = kyoku3();
    k.haipai[3] = hand3;
    return k;
  };
  KyokuSpec no_seat1_hand = kyoku3();
  no_seat1_hand.haipai[1] = "[]";
  KyokuSpec four = KyokuSpec().seat(0, "[11]", R"(["f44"])");
  KyokuSpec four_missing = KyokuSpec();
  four_missing.haipai[3] = "[]";
  KyokuSpec north_hand = kyoku3();
  north_hand.haipai[0] = hand3_north;
  KyokuSpec five_m_hand = kyoku3();
  five_m_hand.haipai[2] = "[11,19,21,22,23,24,25,26,27,28,29,31,15]";
  struct Case {
    const char* name;
    std::string text;
    ErrorKind kind;
    std::optional<std::size_t> kyoku;
    std::optional<int> seat;
    Field field;
    std::optional<std::size_t> entry;
  } cases[] = {
      {"three-player rule text, four hands", game3({four_hands()}), ErrorKind::hand_for_absent_seat, 0, 3,
       Field::haipai, {}},
      {"three hands, then four", game3({kyoku3(), four_hands()}), ErrorKind::hand_for_absent_seat, 1, 3,
       Field::haipai, {}},
      {"a named fourth player without a hand", game_text({four_missing}), ErrorKind::missing_hand, 0, 3,
       Field::haipai, {}},
      {"a playing seat without a hand", game3({no_seat1_hand}), ErrorKind::missing_hand, 0, 1, Field::haipai, {}},
      {"the absent seat deals", game3({kyoku3().with_round("[3,0,0]")}), ErrorKind::absent_seat, 0, {},
       Field::round, 0},
      {"the absent seat takes", game3({kyoku3().seat(3, "[11]", "[]")}), ErrorKind::absent_seat, 0, 3,
       Field::takes, 0},
      {"the absent seat wins", game3({kyoku3().with_result(R"(["和了",[0,0,-1000,1000],[3,2,3,"1000点"]])")}),
       ErrorKind::absent_seat, 0, {}, Field::results, {}},
      {"kita of East", game3({north_hand.seat(0, "[31,33]", R"(["f41",60])")}), ErrorKind::kita_not_north, 0, 0,
       Field::discards, 0},
      {"kita with no North in hand", game3({kyoku3().seat(0, "[31,33]", R"(["f44",60])")}),
       ErrorKind::kita_without_north, 0, 0, Field::discards, 0},
      {"kita of the North already discarded",
       game3({kyoku3().seat(0, "[44,33,34]", R"([60,"f44",60])").seat(1, "[35]", "[60]").seat(2, "[36]", "[60]")}),
       ErrorKind::kita_without_north, 0, 0, Field::discards, 1},
      {"kita in a four-player record", game_text({four}), ErrorKind::kita_in_four_player, 0, 0, Field::discards, 0},
      {"2m drawn", game3({kyoku3().seat(0, "[12]", "[60]")}), ErrorKind::absent_tile, 0, 0, Field::takes, 0},
      {"red 5m in a pon", game3({kyoku3().seat(0, "[11]", "[21]").seat(1, R"(["p515151"])", "[60]")}),
       ErrorKind::absent_tile, 0, 1, Field::takes, 0},
      {"5m in a starting hand", game3({five_m_hand}), ErrorKind::absent_tile, 0, 2, Field::haipai, 12},
      {"8m as a dora indicator", game3({kyoku3().with_dora("[21,18]")}), ErrorKind::absent_tile, 0, {},
       Field::dora, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run_any(c.text);
    ASSERT_TRUE(r.error) << "converted";
    EXPECT_EQ(r.error->kind, c.kind) << conv::describe(*r.error);
    EXPECT_EQ(r.error->kyoku, c.kyoku);
    EXPECT_EQ(r.error->seat, c.seat);
    EXPECT_EQ(r.error->field, c.field);
    EXPECT_EQ(r.error->entry, c.entry);
    // The reason names the kyoku, and the byte it found fault with.
    const std::string why = conv::describe(*r.error);
    EXPECT_NE(why.find("kyoku " + std::to_string(*c.kyoku)), std::string::npos) << why;
    EXPECT_TRUE(r.error->offset) << why;
  }
}

// _kifuzan's reading stays as specified: three-player records are refused
// as before, and a three-character discard text is a riichi whatever its
// first character.
TEST(three_player_test, specified_reading_is_unchanged) {
  KyokuSpec four_hands = kyoku3();
  four_hands.haipai[3] = hand3;
  EXPECT_EQ(run(game3({four_hands})).failed, Stage::normalise);
  EXPECT_EQ(run(game3({kyoku3()})).failed, Stage::parse);
  // Mahjong Soul's exports name the room, not the number of players.
  const std::string mahjong_soul = game_text({kyoku3().seat(0, "[11]", "[60]")}, names3, R"({"disp":"Throne Room"})");
  EXPECT_EQ(run(mahjong_soul).failed, Stage::parse);
  const Outcome r3 = run_any(mahjong_soul);
  EXPECT_FALSE(r3.failed) << conv::describe(*r3.error);
  const Outcome r = run(game_text({KyokuSpec().seat(0, "[11]", R"(["f44"])")}));
  ASSERT_FALSE(r.failed);
  EXPECT_EQ(kyoku_lines(r), (std::vector<std::string>{tsumo(0, "1m"), reach(0), dahai(0, "N", false), drawn,
                                                      end_kyoku}));
}

}  // namespace
}  // namespace kifuzan::test
