#include "kifuzan/conv/log.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_logs.h"

namespace {

using namespace kifuzan::conv;
using kifuzan::test::kyoku_json;
using kifuzan::test::log_json;
using kifuzan::test::parse_text;

using Outcome = kifuzan::base::result<Log, Error>;

// Parses text (which must parse) and normalises it.
std::optional<Outcome> run(const std::string& text) {
  auto raw = parse_text(text);
  if (!raw.ok()) {
    ADD_FAILURE() << "parse failed: " << describe(raw.error()) << "\n" << text;
    return std::nullopt;
  }
  return normalise(std::move(raw).value());
}

std::string deltas_text(const Deltas& d) {
  return std::to_string(d[0]) + "," + std::to_string(d[1]) + "," + std::to_string(d[2]) + "," +
         std::to_string(d[3]);
}

// "hora[w<s:d|...]" or "deltas[d]" for each kyoku, joined by " ", or the
// error's name.
std::string describe(const Outcome& o) {
  if (!o.ok()) return o.error().kind == ErrorKind::three_player ? "three_player" : "malformed_win";
  std::string out;
  for (const Kyoku& k : o.value().kyokus) {
    if (!out.empty()) out += ' ';
    if (auto* d = std::get_if<Deltas>(&k.result)) {
      out += "deltas[" + deltas_text(*d) + "]";
      continue;
    }
    out += "hora[";
    bool first = true;
    for (const HoraEntry& h : std::get<std::vector<HoraEntry>>(k.result)) {
      if (!first) out += '|';
      first = false;
      out += std::to_string(h.winner) + "<" + std::to_string(h.source) + ":" + deltas_text(h.deltas);
    }
    out += "]";
  }
  return out;
}

std::string log_with_results(const std::vector<std::string>& result_lists, std::string rule = "{}") {
  log_json l;
  l.log = "[";
  for (std::size_t i = 0; i < result_lists.size(); ++i) {
    kyoku_json k;
    k.results = result_lists[i];
    l.log += (i ? "," : "") + k.text();
  }
  l.log += "]";
  l.rule = std::move(rule);
  return l.text();
}

TEST(normalise_test, rule_text) {
  struct Case {
    std::string disp;
    std::string want;  // kyoku_first, or the error
  } cases[] = {
      {"", "0"},
      {"般南喰赤", "0"},
      {"四般東喰赤", "4"},
      {"東", "4"},
      {"East", "4"},
      {"Tonpuu-East Ranked", "4"},
      {"east", "0"},
      {"EAST", "0"},
      {"South", "0"},
      {"三般南喰赤", "three_player"},
      {"三", "three_player"},
      {"3-Player East", "three_player"},
      {"三般東", "three_player"},
      {"3-player", "0"},
      {"3 Player", "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.disp);
    const auto o = run(log_with_results({"[]"}, R"({"disp":")" + c.disp + R"("})"));
    ASSERT_TRUE(o);
    if (!o->ok()) {
      EXPECT_EQ(describe(*o), c.want);
    } else {
      EXPECT_EQ(std::to_string(o->value().kyoku_first), c.want);
    }
  }
}

TEST(normalise_test, three_player_check_comes_before_rounds) {
  const auto o = run(log_with_results({R"(["和了",[0,0,0,0],[]])"}, R"({"disp":"三般南"})"));
  ASSERT_TRUE(o);
  EXPECT_EQ(describe(*o), "three_player");
  const auto e = run(log_with_results({R"(["和了",[0,0,0,0],[]])"}, R"({"disp":"般南"})"));
  ASSERT_TRUE(e);
  EXPECT_EQ(describe(*e), "malformed_win");
  // A three-player rule is refused even without any kyoku.
  const auto empty = run(log_with_results({}, R"({"disp":"3-Player"})"));
  ASSERT_TRUE(empty);
  EXPECT_EQ(describe(*empty), "three_player");
}

TEST(normalise_test, aka_flag) {
  struct Case {
    std::string rule;
    bool want;
  } cases[] = {
      {"{}", false},
      {R"({"aka":0,"aka51":0,"aka52":0,"aka53":0})", false},
      {R"({"aka":1})", true},
      {R"({"aka53":1})", true},
      {R"({"aka51":1,"aka52":1,"aka53":1})", true},
      {R"({"aka":128,"aka51":128})", false},
      {R"({"aka":255,"aka51":1})", false},
      {R"({"aka":255,"aka51":1,"aka52":1})", true},
      {R"({"aka":64,"aka51":64,"aka52":64,"aka53":64})", false},
      {R"({"aka":255,"aka51":255,"aka52":255,"aka53":255})", true},
      {R"(["",0,0,2])", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    const auto o = run(log_with_results({"[]"}, c.rule));
    ASSERT_TRUE(o && o->ok());
    EXPECT_EQ(o->value().aka_flag, c.want);
  }
}

TEST(normalise_test, results) {
  const std::string d = "[0,8000,0,-8000]", d2 = "[-1000,0,1000,0]";
  struct Case {
    std::string name;
    std::vector<std::string> results;  // one result list per kyoku
    std::string want;
  } cases[] = {
      {"one win", {R"(["和了",)" + d + R"(,[2,2,2,"x"]])"}, "hora[2<2:0,8000,0,-8000]"},
      {"two winners",
       {R"(["和了",)" + d + R"(,[1,3,1,"a"],)" + d2 + R"(,[2,3,2,"b"]])"},
       "hora[1<3:0,8000,0,-8000|2<3:-1000,0,1000,0]"},
      {"exactly two numbers", {R"(["和了",)" + d + ",[3,0]]"}, "hora[3<0:0,8000,0,-8000]"},
      {"deltas then text", {R"(["和了",)" + d + R"(,"x"])"}, "hora[]"},
      {"only the word", {R"(["和了"])"}, "hora[]"},
      {"word and deltas", {R"(["和了",)" + d + "]"}, "hora[]"},
      {"pair not deltas-list is skipped",
       {R"(["和了","x",[1,0],)" + d + ",[2,3]]"}, "hora[2<3:0,8000,0,-8000]"},
      {"swapped pair skipped", {R"(["和了",[1,2],)" + d + "]"}, "hora[]"},
      {"two deltas skipped", {R"(["和了",)" + d + "," + d2 + "]"}, "hora[]"},
      {"two lists skipped, not checked", {R"(["和了",[1],[]])"}, "hora[]"},
      {"final unpaired item ignored", {R"(["和了",)" + d + ",[1,2]," + d2 + "]"},
       "hora[1<2:0,8000,0,-8000]"},
      {"final unpaired list ignored", {R"(["和了",)" + d + ",[1,2],[]]"}, "hora[1<2:0,8000,0,-8000]"},
      {"empty list", {R"(["和了",)" + d + ",[]]"}, "malformed_win"},
      {"one element", {R"(["和了",)" + d + ",[1]]"}, "malformed_win"},
      {"string first", {R"(["和了",)" + d + R"(,["1",2]])"}, "malformed_win"},
      {"string second", {R"(["和了",)" + d + R"(,[1,"2",3]])"}, "malformed_win"},
      {"null first", {R"(["和了",)" + d + ",[null,1]]"}, "malformed_win"},
      {"bool second", {R"(["和了",)" + d + ",[1,true]]"}, "malformed_win"},
      {"array first", {R"(["和了",)" + d + ",[[1],1]]"}, "malformed_win"},
      {"second winner malformed", {R"(["和了",)" + d + ",[1,2]," + d2 + ",[3]]"}, "malformed_win"},
      {"winner -1", {R"(["和了",)" + d + ",[-1,2]]"}, "hora[0<2:0,8000,0,-8000]"},
      {"winner 1.5", {R"(["和了",)" + d + ",[1.5,2]]"}, "hora[0<2:0,8000,0,-8000]"},
      {"winner 2.0 is a float", {R"(["和了",)" + d + ",[2.0,3]]"}, "hora[0<3:0,8000,0,-8000]"},
      {"winner 2e0 is a float", {R"(["和了",)" + d + ",[2e0,3]]"}, "hora[0<3:0,8000,0,-8000]"},
      {"winner 258", {R"(["和了",)" + d + ",[258,1]]"}, "hora[2<1:0,8000,0,-8000]"},
      {"winner u64 max", {R"(["和了",)" + d + ",[18446744073709551615,1]]"},
       "hora[255<1:0,8000,0,-8000]"},
      {"winner i64 max", {R"(["和了",)" + d + ",[9223372036854775807,1]]"},
       "hora[255<1:0,8000,0,-8000]"},
      {"winner i64 min", {R"(["和了",)" + d + ",[-9223372036854775808,1]]"},
       "hora[0<1:0,8000,0,-8000]"},
      {"source -3", {R"(["和了",)" + d + ",[1,-3]]"}, "hora[1<0:0,8000,0,-8000]"},
      {"source 259", {R"(["和了",)" + d + ",[1,259]]"}, "hora[1<3:0,8000,0,-8000]"},
      {"source 0.5", {R"(["和了",)" + d + ",[1,0.5]]"}, "hora[1<0:0,8000,0,-8000]"},
      {"draw with deltas", {R"(["流局",[1500,-1500,1500,-1500]])"}, "deltas[1500,-1500,1500,-1500]"},
      {"draw takes the first deltas", {R"(["流局",)" + d + "," + d2 + "]"}, "deltas[0,8000,0,-8000]"},
      {"any first item", {"[[1,2,3],[4,5,6,7]]"}, "deltas[4,5,6,7]"},
      {"win word not exact", {R"(["和了 ",)" + d + ",[1,2]]"}, "deltas[0,8000,0,-8000]"},
      {"single text", {R"(["九種九牌"])"}, "deltas[0,0,0,0]"},
      {"empty result list", {"[]"}, "deltas[0,0,0,0]"},
      {"second not deltas", {R"(["流局","x"])"}, "deltas[0,0,0,0]"},
      {"second is a short list", {R"(["流局",[1,2,3]])"}, "deltas[0,0,0,0]"},
      {"second is a float list", {R"(["流局",[1.0,2,3,4]])"}, "deltas[0,0,0,0]"},
      {"first item deltas only", {"[[1,2,3,4]]"}, "deltas[0,0,0,0]"},
      {"each kyoku", {R"(["流局"])", R"(["和了",)" + d + ",[0,1]]", "[]"},
       "deltas[0,0,0,0] hora[0<1:0,8000,0,-8000] deltas[0,0,0,0]"},
      {"malformed in a later kyoku", {R"(["流局"])", R"(["和了",)" + d + ",[0]]"}, "malformed_win"},
      {"no kyoku", {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto o = run(log_with_results(c.results));
    ASSERT_TRUE(o);
    EXPECT_EQ(describe(*o), c.want);
  }
}

TEST(normalise_test, copies_the_document) {
  kyoku_json k;
  k.round = "[2,1,3]";
  k.scores = "[1,-2,3,-4]";
  k.dora = "[0,51]";
  k.ura = "[47]";
  k.takes[2] = R"([60,"c121314"])";
  log_json l;
  l.log = "[" + kyoku_json{}.text() + "," + k.text() + "]";
  l.name = R"(["甲","乙","丙","丁"])";
  l.extra = R"(,"lobby":5,"rate":[1.5],"sx":["M","F","M","F"])";
  auto raw = parse_text(l.text());
  ASSERT_TRUE(raw.ok()) << describe(raw.error());
  const RawLog copy = raw.value();
  const auto o = normalise(std::move(raw).value());
  ASSERT_TRUE(o.ok());
  const Log& log = o.value();
  EXPECT_EQ(log.names, copy.name);
  EXPECT_EQ(log.kyoku_first, 0);
  EXPECT_TRUE(log.aka_flag);
  ASSERT_EQ(log.kyokus.size(), 2u);
  // Everything but the result passes as it was read.
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_TRUE(static_cast<const KyokuPlay&>(log.kyokus[i]) == copy.log[i]) << i;
  EXPECT_EQ(log.kyokus[1].round, 2);
  EXPECT_EQ(log.kyokus[1].kyotaku, 3);
  EXPECT_EQ(log.kyokus[1].dora_indicators, (std::vector<Tile>{mjai::unknown_tile, Tile{34}}));
  EXPECT_EQ(log.kyokus[1].seats[2].takes[1].text, "c121314");
  EXPECT_EQ(std::get<Deltas>(log.kyokus[1].result), (Deltas{1500, -1500, 1500, -1500}));
}

}  // namespace
