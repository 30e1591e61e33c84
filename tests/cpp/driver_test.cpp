// The game driver: game and kyoku framing, start_kyoku fields, failure scope.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kyoku_builder.h"

namespace kifuzan::test {
namespace {

using conv::ErrorKind;
using namespace want;

const std::string default_tehai = tiles({"1m", "2m", "3m", "4m", "5m", "6m", "7m", "8m", "9m", "1p", "2p", "3p", "4p"});

std::string start_kyoku(std::string_view bakaze, std::string_view dora_marker, int kyoku, int honba,
                        int kyotaku, int oya, std::initializer_list<int> scores, std::string_view tehais) {
  return R"({"type":"start_kyoku","bakaze":)" + str(bakaze) + R"(,"dora_marker":)" + str(dora_marker) +
         R"(,"kyoku":)" + num(kyoku) + R"(,"honba":)" + num(honba) + R"(,"kyotaku":)" + num(kyotaku) +
         R"(,"oya":)" + num(oya) + R"(,"scores":)" + ints(scores) + R"(,"tehais":)" + std::string(tehais) +
         "}";
}

std::string default_tehais() {
  return "[" + default_tehai + "," + default_tehai + "," + default_tehai + "," + default_tehai + "]";
}

TEST(driver_test, start_game) {
  struct Case {
    const char* name;
    const char* names;
    const char* rule;
    std::string want;
  };
  const Case cases[] = {
      {"plain", R"(["A","B","C","D"])", R"({"disp":"四般南喰赤","aka":0})",
       R"({"type":"start_game","names":["A","B","C","D"],"kyoku_first":0,"aka_flag":false})"},
      {"east game with red fives", R"(["q\"","b\\s","t\tab","c\u0001"])", R"({"disp":"四般東喰赤","aka53":1})",
       R"({"type":"start_game","names":["q\"","b\\s","t\tab","c\u0001"],"kyoku_first":4,"aka_flag":true})"},
      {"names pass through unescaped beyond ASCII", R"(["東家","南家","西家","北家"])", R"({"disp":"East"})",
       R"({"type":"start_game","names":["東家","南家","西家","北家"],"kyoku_first":4,"aka_flag":false})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run(game_text({}, c.names, c.rule));
    ASSERT_FALSE(r.failed);
    EXPECT_EQ(r.lines, (std::vector<std::string>{c.want, end_game}));
  }
}

TEST(driver_test, round_index_gives_wind_number_and_oya) {
  struct Case {
    int index;
    const char* bakaze;
    int kyoku, oya;
  };
  const Case cases[] = {{0, "E", 1, 0},  {3, "E", 4, 3},  {4, "S", 1, 0},  {7, "S", 4, 3}, {8, "W", 1, 0},
                        {11, "W", 4, 3}, {12, "N", 1, 0}, {16, "N", 1, 0}, {17, "N", 2, 1}, {255, "N", 4, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    KyokuSpec k;
    k.with_round("[" + num(c.index) + ",2,1]").with_dora("[35]").seat(c.oya, "[11]", "[]");
    const Outcome r = run(game_text({k}));
    ASSERT_FALSE(r.failed);
    ASSERT_EQ(r.lines.size(), 6u);
    EXPECT_EQ(r.lines[1], start_kyoku(c.bakaze, "5s", c.kyoku, 2, 1, c.oya, {25000, 25000, 25000, 25000},
                                      default_tehais()));
    EXPECT_EQ(r.lines[2], tsumo(c.oya, "1m"));
  }
}

TEST(driver_test, whole_game_keeps_recorded_scores_and_hands) {
  KyokuSpec k1;
  k1.haipai[2] = "[47,11,53,0,21,19,31,41,12,52,39,29,51]";
  k1.seat(0, "[11]", "[]").with_result(R"(["和了",[12000,-4000,-4000,-4000],[0,0,"x"]])");
  KyokuSpec k2;
  k2.scores = "[31000,-1200,0,70200]";
  k2.with_round("[1,3,2]").with_dora("[21,22]").seat(1, "[12]", "[21]");
  const Outcome r = run(game_text({k1, k2}));
  ASSERT_FALSE(r.failed);
  const std::string hand2 = tiles({"C", "1m", "5sr", "?", "1p", "9m", "1s", "E", "2m", "5pr", "9s", "9p", "5mr"});
  const std::vector<std::string> expected = {
      R"({"type":"start_game","names":["A","B","C","D"],"kyoku_first":0,"aka_flag":true})",
      start_kyoku("E", "1m", 1, 0, 0, 0, {25000, 25000, 25000, 25000},
                  "[" + default_tehai + "," + default_tehai + "," + hand2 + "," + default_tehai + "]"),
      tsumo(0, "1m"),
      hora(0, 0, {12000, -4000, -4000, -4000}, {}),
      end_kyoku,
      start_kyoku("E", "1p", 2, 3, 2, 1, {31000, -1200, 0, 70200}, default_tehais()),
      tsumo(1, "2m"),
      dahai(1, "1p", false),
      drawn,
      end_kyoku,
      end_game,
  };
  EXPECT_EQ(r.lines, expected);
}

TEST(driver_test, any_kyoku_failure_fails_the_game) {
  using K = ErrorKind;
  struct Case {
    const char* name;
    KyokuSpec last;
    ErrorKind want;
  };
  const Case cases[] = {
      {"empty dora list", KyokuSpec().with_dora("[]").seat(0, "[11]", "[]"), K::missing_dora_marker},
      {"missing take", KyokuSpec().seat(0, "[11]", "[21]").seat(2, "[13]", "[60]"), K::missing_take},
      {"seats decode in order", KyokuSpec().seat(1, "[60]", "[]").seat(2, R"(["zz"])", "[]"),
       K::number_in_take_list},
      {"seats decode in order, reversed", KyokuSpec().seat(1, R"(["zz"])", "[]").seat(2, "[60]", "[]"),
       K::invalid_action_item},
      {"decoding comes before the dora check", KyokuSpec().with_dora("[]").seat(3, "[11]", R"([""])"),
       K::invalid_action_item},
  };
  const KyokuSpec good = KyokuSpec().seat(0, "[11]", "[21]");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const auto& [game, index] : {std::pair{std::vector<KyokuSpec>{good, good, c.last}, 2u},
                                       std::pair{std::vector<KyokuSpec>{c.last, good}, 0u}}) {
      const Outcome r = run(game_text(game));
      ASSERT_EQ(r.failed, conv::Stage::convert);
      ASSERT_TRUE(r.error);
      EXPECT_EQ(r.error->kind, c.want);
      EXPECT_EQ(r.error->kyoku, index);
    }
  }
}

TEST(driver_test, failing_stage_is_reported) {
  struct Case {
    const char* name;
    std::string text;
    conv::Stage want;
    ErrorKind kind;
  };
  const KyokuSpec good = KyokuSpec().seat(0, "[11]", "[21]");
  const Case cases[] = {
      {"truncated document", game_text({good}).substr(0, 40), conv::Stage::parse, ErrorKind::json},
      {"dora code 10", game_text({KyokuSpec(good).with_dora("[10]")}), conv::Stage::parse,
       ErrorKind::invalid_tile_code},
      {"three-player rule", game_text({good}, R"(["A","B","C",""])", R"({"disp":"三般南喰赤"})"),
       conv::Stage::normalise, ErrorKind::three_player},
      {"win without winner and source", game_text({KyokuSpec(good).with_result(R"(["和了",[0,0,0,0],[1]])")}),
       conv::Stage::normalise, ErrorKind::malformed_win},
      {"bad call text", game_text({KyokuSpec().seat(0, R"(["c1"])", "[]")}), conv::Stage::convert,
       ErrorKind::invalid_action_item},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome r = run(c.text);
    EXPECT_EQ(r.failed, c.want);
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->kind, c.kind);
    EXPECT_EQ(conv::stage_of(r.error->kind), c.want);
  }
}

}  // namespace
}  // namespace kifuzan::test
