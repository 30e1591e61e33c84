#include "kifuzan/conv/document.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "test_logs.h"

namespace {

using namespace kifuzan::conv;
using kifuzan::test::kyoku_json;
using kifuzan::test::log_json;
using kifuzan::test::nested_arrays;
using kifuzan::test::nested_objects;
using kifuzan::test::parse_text;
using kifuzan::test::with_kyoku;
using kifuzan::test::with_results;
using kifuzan::test::with_rule;
using kifuzan::test::with_unknown_value;

struct Case {
  std::string name;
  std::string input;
  bool ok;
  std::string error = {};  // when not empty, a part of the expected message
};

void run_cases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto r = parse_text(c.input);
    if (c.ok) {
      EXPECT_TRUE(r.ok()) << describe(r.error());
    } else {
      ASSERT_FALSE(r.ok());
      if (!c.error.empty()) {
        EXPECT_NE(describe(r.error()).find(c.error), std::string::npos)
            << "message: " << describe(r.error());
      }
    }
  }
}

std::string with_extra(std::string_view members) {
  log_json l;
  l.extra = std::string(members);
  return l.text();
}

template <class F>
std::string kyoku_with(F f) {
  kyoku_json k;
  f(k);
  return with_kyoku(k);
}

std::string with_take(std::string_view item) {
  return kyoku_with([&](kyoku_json& k) { k.takes[1] = "[" + std::string(item) + "]"; });
}

const std::string names4 = R"(["a","b","c","d"])";
const std::string haipai12 = "[11,12,13,14,15,16,17,18,19,21,22,23]";

TEST(document_test, top_level_shapes) {
  run_cases({
      {"minimal object", R"({"log":[],"name":["a","b","c","d"],"rule":{}})", true},
      {"keys in any order", R"({"rule":{},"name":["a","b","c","d"],"log":[]})", true},
      {"full default log", log_json{}.text(), true},
      {"array form", "[[]," + names4 + ",{},null,null,null,null,null]", true},
      {"array form with values", "[[]," + names4 + R"(,[],"PF4",-1,["a"],[1.5,2],["m"]])", true},
      {"array form 7", "[[]," + names4 + ",{},null,null,null,null]", false,
       "the document at byte 0: it has 7 entries; a document written as a list has 8"},
      {"array form 0", "[]", false, "the document at byte 0: it has 0 entries; a document written as a list has 8"},
      {"array form 9", "[[]," + names4 + ",{},null,null,null,null,null,null]", false, "it has 9 entries"},
      {"array form null log", "[null," + names4 + ",{},null,null,null,null,null]", false},
      {"string", R"("log")", false, R"(the document at byte 0: it must be an object with "log", "name" and "rule", or a list of 8 entries, not a string)"},
      {"number", "1", false, "or a list of 8 entries, not a whole number"},
      {"null", "null", false, "or a list of 8 entries, not null"},
      {"empty input", "", false},
      {"whitespace only", " \t\r\n", false},
      {"leading whitespace", " \t\r\n" + log_json{}.text(), true},
      {"trailing whitespace", log_json{}.text() + " \t\r\n", true},
      {"text after", log_json{}.text() + "x", false},
      {"second document", log_json{}.text() + "{}", false},
      {"nul after", log_json{}.text() + std::string(1, '\0'), false},
      {"byte-order mark", "\xEF\xBB\xBF" + log_json{}.text(), false},
      {"form feed is not whitespace", "\f" + log_json{}.text(), false},
      {"trailing comma", R"({"log":[],"name":["a","b","c","d"],"rule":{},})", false},
      {"truncated", log_json{}.text().substr(0, 40), false},
      {"single quotes", R"({'log':[],"name":["a","b","c","d"],"rule":{}})", false},
  });
}

TEST(document_test, required_and_optional_keys) {
  run_cases({
      {"missing log", R"({"name":["a","b","c","d"],"rule":{}})", false, R"(the document has no "log")"},
      {"missing name", R"({"log":[],"rule":{}})", false, R"(the document has no "name")"},
      {"missing rule", R"({"log":[],"name":["a","b","c","d"]})", false, R"(the document has no "rule")"},
      {"missing all, log first", "{}", false, R"(the document has no "log")"},
      {"null log", R"({"log":null,"name":["a","b","c","d"],"rule":{}})", false},
      {"null name", R"({"log":[],"name":null,"rule":{}})", false},
      {"null rule", R"({"log":[],"name":["a","b","c","d"],"rule":null})", false},
      {"three names", R"({"log":[],"name":["a","b","c"],"rule":{}})", false,
       R"("name" has 3 names; it must have 4)"},
      {"five names", R"({"log":[],"name":["a","b","c","d","e"],"rule":{}})", false, R"("name" has 5 names)"},
      {"number name", R"({"log":[],"name":["a","b","c",4],"rule":{}})", false,
       "a player name must be a string, not a whole number"},
      {"log not array", R"({"log":{},"name":["a","b","c","d"],"rule":{}})", false,
       R"("log" must be a list, not an object)"},
      {"optional nulls", with_extra(R"(,"ratingc":null,"lobby":null,"dan":null,"rate":null,"sx":null)"), true},
      {"optional values", with_extra(R"(,"ratingc":"PF4","lobby":0,"dan":["a",""],"rate":[1,1.5],"sx":[])"), true},
      {"lobby max", with_extra(R"(,"lobby":2147483647)"), true},
      {"lobby min", with_extra(R"(,"lobby":-2147483648)"), true},
      {"lobby minus zero", with_extra(R"(,"lobby":-0)"), true},
      {"lobby over", with_extra(R"(,"lobby":2147483648)"), false,
       R"("lobby" 2147483648 is out of range: it must be a whole number from -2147483648 to 2147483647)"},
      {"lobby under", with_extra(R"(,"lobby":-2147483649)"), false},
      {"lobby float", with_extra(R"(,"lobby":1.0)"), false},
      {"lobby exponent", with_extra(R"(,"lobby":1e2)"), false},
      {"lobby string", with_extra(R"(,"lobby":"1")"), false},
      {"ratingc number", with_extra(R"(,"ratingc":1)"), false},
      {"dan not array", with_extra(R"(,"dan":"x")"), false},
      {"dan number", with_extra(R"(,"dan":["a",1])"), false},
      {"sx null element", with_extra(R"(,"sx":[null])"), false},
      {"rate string", with_extra(R"(,"rate":["1"])"), false, R"(a rating in "rate" must be a number, not a string)"},
      {"rate null element", with_extra(R"(,"rate":[null])"), false},
      {"rate nan", with_extra(R"(,"rate":[NaN])"), false},
      {"rate infinity", with_extra(R"(,"rate":[Infinity])"), false},
      {"rate minus infinity", with_extra(R"(,"rate":[-Infinity])"), false},
      {"rate overflow", with_extra(R"(,"rate":[1e400])"), false},
      {"duplicate log", R"({"log":[],"log":[],"name":["a","b","c","d"],"rule":{}})", false,
       R"("log" appears twice)"},
      {"duplicate found before its value", R"({"log":[],"log":5,"name":["a","b","c","d"],"rule":{}})",
       false, R"("log" appears twice)"},
      {"duplicate name", with_extra(R"(,"name":["a","b","c","d"])"), false, R"("name" appears twice)"},
      {"duplicate rule", with_extra(R"(,"rule":{})"), false, R"("rule" appears twice)"},
      {"duplicate lobby", with_extra(R"(,"lobby":1,"lobby":1)"), false, R"("lobby" appears twice)"},
      {"duplicate after null", with_extra(R"(,"sx":null,"sx":null)"), false, R"("sx" appears twice)"},
      {"duplicate unknown keys", with_extra(R"(,"zzz":1,"zzz":[2],"zzz":{})"), true},
      {"keys are case-sensitive", with_extra(R"(,"Log":5,"LOBBY":"x")"), true},
  });
}

TEST(document_test, unknown_values_are_skipped) {
  run_cases({
      {"object", with_unknown_value(R"({"a":[1,{"b":null}],"c":"\u00e9","a":2})"), true},
      {"literals", with_unknown_value("[true,false,null,-1.5e-3,0,\"s\",\"\"]"), true},
      {"u64 max", with_unknown_value("18446744073709551615"), true},
      {"u64 max plus one", with_unknown_value("18446744073709551616"), false},
      {"i64 min", with_unknown_value("-9223372036854775808"), true},
      {"i64 min minus one", with_unknown_value("-9223372036854775809"), false},
      {"huge integer", with_unknown_value("[100000000000000000000]"), false},
      {"double overflow", with_unknown_value("1e400"), false},
      {"negative double overflow", with_unknown_value("[-1e400]"), false},
      {"double underflow", with_unknown_value("1e-400"), true},
      {"large but finite", with_unknown_value("1.7976931348623157e308"), true},
      {"nan", with_unknown_value("NaN"), false},
      {"infinity", with_unknown_value("[Infinity]"), false},
      {"minus infinity", with_unknown_value("-Infinity"), false},
      {"leading zero", with_unknown_value("01"), false},
      {"bare fraction", with_unknown_value(".5"), false},
      {"bare point", with_unknown_value("1."), false},
      {"plus sign", with_unknown_value("+1"), false},
      {"bad literal", with_unknown_value("tru"), false},
      {"trailing comma", with_unknown_value("[1,]"), false},
      {"bad escape", with_unknown_value(R"("\x")"), false},
      {"raw tab in string", with_unknown_value("\"a\tb\""), false},
      {"lone surrogate", with_unknown_value(R"("\ud800")"), false},
      {"lone low surrogate", with_unknown_value(R"(["\udc00"])"), false},
      {"surrogate then text", with_unknown_value(R"("\ud800abc")"), false},
      {"lone surrogate in key", with_unknown_value(R"({"\ud800":1})"), false},
      {"valid pair", with_unknown_value(R"("\ud83d\ude00")"), true},
      {"invalid utf-8", with_unknown_value("\"\xff\""), false},
      {"overlong utf-8", with_unknown_value("\"\xc0\xaf\""), false},
      {"encoded surrogate", with_unknown_value("\"\xed\xa0\x80\""), false},
      {"raw utf-8", with_unknown_value("\"東南\""), true},
      {"comment", with_unknown_value("1 /* c */"), false},
  });
}

TEST(document_test, nesting_depth) {
  // The document's own object is level 1: an unknown key's value may open
  // 127 more levels. A result list item sits at level 5, a Rule member's
  // value at level 3.
  run_cases({
      {"127 arrays in unknown value", with_unknown_value(nested_arrays(127)), true},
      {"128 arrays in unknown value", with_unknown_value(nested_arrays(128)), false},
      {"127 objects in unknown value", with_unknown_value(nested_objects(127)), true},
      {"128 objects in unknown value", with_unknown_value(nested_objects(128)), false},
      {"mixed 128 levels", with_unknown_value("[{\"a\":" + nested_arrays(125) + "}]"), true},
      {"mixed 129 levels", with_unknown_value("[{\"a\":" + nested_arrays(126) + "}]"), false},
      {"result item 124 levels", with_results("[" + nested_arrays(124) + "]"), true},
      {"result item 125 levels", with_results("[" + nested_arrays(125) + "]"), false},
      {"rule member 126 levels", with_rule("{\"zzz\":" + nested_arrays(126) + "}"), true},
      {"rule member 127 levels", with_rule("{\"zzz\":" + nested_arrays(127) + "}"), false},
      {"array form 128 levels",
       "[[]," + names4 + ",{\"zzz\":" + nested_arrays(126) + "},null,null,null,null,null]", true},
      {"array form 129 levels",
       "[[]," + names4 + ",{\"zzz\":" + nested_arrays(127) + "},null,null,null,null,null]", false},
      {"million opened arrays", std::string(1000000, '['), false},
      {"million nested arrays", with_unknown_value(nested_arrays(1000000)), false},
  });
}

TEST(document_test, rule) {
  run_cases({
      {"empty object", with_rule("{}"), true},
      {"all fields", with_rule(R"({"disp":"x","aka":0,"aka51":255,"aka52":1,"aka53":2})"), true},
      {"unknown members", with_rule(R"({"zzz":[1,{}],"disp":"x","zzz":null})"), true},
      {"aka 256", with_rule(R"({"aka":256})"), false,
       "the rule value 256 is out of range: it must be a whole number from 0 to 255"},
      {"aka negative", with_rule(R"({"aka":-1})"), false},
      {"aka float", with_rule(R"({"aka51":1.0})"), false},
      {"disp number", with_rule(R"({"disp":1})"), false},
      {"duplicate disp", with_rule(R"({"disp":"a","disp":"b"})"), false, R"("disp" appears twice)"},
      {"duplicate aka53", with_rule(R"({"aka53":1,"aka53":1})"), false, R"("aka53" appears twice)"},
      {"string", with_rule(R"("x")"), false, R"("rule" must be an object or a list, not a string)"},
      {"array 0", with_rule("[]"), true},
      {"array 1", with_rule(R"(["d"])"), true},
      {"array 5", with_rule(R"(["d",1,2,3,4])"), true},
      {"array 6", with_rule(R"(["d",1,2,3,4,5])"), false, R"("rule" has 6 entries; it has at most 5)"},
      {"array wrong type", with_rule("[1]"), false},
  });
}

TEST(document_test, rule_values) {
  struct RuleCase {
    std::string rule;
    Rule want;
  } cases[] = {
      {"{}", {"", 0, 0, 0, 0}},
      {R"({"aka53":3,"disp":"般東"})", {"般東", 0, 0, 0, 3}},
      {R"({"disp":"x","aka":1,"aka51":2,"aka52":3,"aka53":255})", {"x", 1, 2, 3, 255}},
      {"[]", {"", 0, 0, 0, 0}},
      {R"(["d",4])", {"d", 4, 0, 0, 0}},
      {R"(["d",1,2,3,4])", {"d", 1, 2, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    const auto r = parse_text(with_rule(c.rule));
    ASSERT_TRUE(r.ok()) << describe(r.error());
    const Rule& got = r.value().rule;
    EXPECT_EQ(got.disp, c.want.disp);
    EXPECT_EQ(got.aka, c.want.aka);
    EXPECT_EQ(got.aka51, c.want.aka51);
    EXPECT_EQ(got.aka52, c.want.aka52);
    EXPECT_EQ(got.aka53, c.want.aka53);
  }
}

TEST(document_test, kyoku_shapes) {
  auto k = [](auto f) { return kyoku_with(f); };
  run_cases({
      {"two kyokus", [] { log_json l; l.log = "[" + kyoku_json{}.text() + "," + kyoku_json{}.text() + "]"; return l.text(); }(), true},
      {"16 elements", [] { log_json l; std::string t = kyoku_json{}.text(); l.log = "[" + t.substr(0, t.rfind(",[\"")) + "]]"; return l.text(); }(),
       false, "the kyoku has 16 entries; a kyoku has 17"},
      {"18 elements", k([](kyoku_json& j) { j.extra = ",[]"; }), false, "the kyoku has 18 entries; a kyoku has 17"},
      {"kyoku not array", R"({"log":[{}],"name":["a","b","c","d"],"rule":{}})", false,
       "the kyoku must be a list of 17 entries, not an object"},
      {"round u8 max", k([](kyoku_json& j) { j.round = "[255,255,255]"; }), true},
      {"round minus zero", k([](kyoku_json& j) { j.round = "[-0,0,0]"; }), true},
      {"round 2", k([](kyoku_json& j) { j.round = "[0,0]"; }), false,
       "the round entry has 2 numbers; a round entry has 3: round, honba and riichi sticks"},
      {"round 4", k([](kyoku_json& j) { j.round = "[0,0,0,0]"; }), false, "the round entry has 4 numbers"},
      {"round 256", k([](kyoku_json& j) { j.round = "[256,0,0]"; }), false,
       "the round number 256 is out of range: it must be a whole number from 0 to 255"},
      {"round negative", k([](kyoku_json& j) { j.round = "[0,-1,0]"; }), false, "the honba count -1 is out of range"},
      {"round float", k([](kyoku_json& j) { j.round = "[0,0,1.0]"; }), false,
       "the riichi stick count must be a whole number from 0 to 255, not a decimal number"},
      {"round exponent", k([](kyoku_json& j) { j.round = "[1e2,0,0]"; }), false},
      {"round capital exponent", k([](kyoku_json& j) { j.round = "[1E0,0,0]"; }), false},
      {"scores i32 range", k([](kyoku_json& j) { j.scores = "[-2147483648,2147483647,0,-0]"; }), true},
      {"scores 3", k([](kyoku_json& j) { j.scores = "[0,0,0]"; }), false,
       "the score list has 3 scores; a score list has 4"},
      {"scores 5", k([](kyoku_json& j) { j.scores = "[0,0,0,0,0]"; }), false},
      {"scores over", k([](kyoku_json& j) { j.scores = "[2147483648,0,0,0]"; }), false,
       "the score 2147483648 is out of range"},
      {"scores under", k([](kyoku_json& j) { j.scores = "[-2147483649,0,0,0]"; }), false},
      {"scores float", k([](kyoku_json& j) { j.scores = "[25000.0,0,0,0]"; }), false},
      {"haipai 12", k([](kyoku_json& j) { j.haipai[2] = haipai12; }), false,
       "the starting hand has 12 tiles; a starting hand has 13"},
      {"haipai 14", k([](kyoku_json& j) { j.haipai[3] = "[11,12,13,14,15,16,17,18,19,21,22,23,24,25]"; }), false},
      {"haipai bad code", k([](kyoku_json& j) { j.haipai[1] = "[10,12,13,14,15,16,17,18,19,21,22,23,24]"; }), false,
       "10 is not a tile code: tile codes are 11-19"},
      {"dora empty", k([](kyoku_json& j) { j.dora = "[]"; }), true},
      {"dora all kinds", k([](kyoku_json& j) { j.dora = "[0,11,19,21,29,31,39,41,47,51,52,53]"; }), true},
      {"dora 10", k([](kyoku_json& j) { j.dora = "[10]"; }), false,
       "dora indicator 0 at byte 44: 10 is not a tile code: tile codes are 11-19, 21-29 and 31-39 for the suits, "
       "41-47 for the honours, 51-53 for the red fives and 0 for a hidden tile"},
      {"dora 60", k([](kyoku_json& j) { j.dora = "[60]"; }), false, "60 is not a tile code"},
      {"dora 255", k([](kyoku_json& j) { j.dora = "[255]"; }), false, "255 is not a tile code"},
      {"dora 256", k([](kyoku_json& j) { j.dora = "[256]"; }), false, "256 is not a tile code"},
      {"dora -1", k([](kyoku_json& j) { j.dora = "[-1]"; }), false, "-1 is not a tile code"},
      {"dora 11.0", k([](kyoku_json& j) { j.dora = "[11.0]"; }), false,
       "a dora indicator must be a tile code, not a decimal number"},
      {"dora string", k([](kyoku_json& j) { j.dora = R"(["11"])"; }), false},
      {"dora not array", k([](kyoku_json& j) { j.dora = "11"; }), false,
       "the dora indicators must be a list, not a whole number"},
      {"ura bad code", k([](kyoku_json& j) { j.ura = "[20]"; }), false},
      {"takes empty", k([](kyoku_json& j) { j.takes[0] = "[]"; }), true},
      {"discards not array", k([](kyoku_json& j) { j.discards[3] = R"("60")"; }), false},
      {"results empty", k([](kyoku_json& j) { j.results = "[]"; }), true},
      {"results not array", k([](kyoku_json& j) { j.results = R"("和了")"; }), false,
       "the result list must be a list, not a string"},
  });
}

TEST(document_test, action_items) {
  const std::string no_match = "a take entry must be a tile code or a call text, not ";
  run_cases({
      {"tile", with_take("11"), true},
      {"unknown tile", with_take("0"), true},
      {"number 60", with_take("60"), true},
      {"number 255", with_take("255"), true},
      {"text", with_take(R"("c121314")"), true},
      {"empty text", with_take(R"("")"), true},
      {"256", with_take("256"), false, no_match + "256"},
      {"60.0", with_take("60.0"), false, no_match + "a decimal number"},
      {"exponent", with_take("6e1"), false, no_match + "a decimal number"},
      {"-1", with_take("-1"), false, no_match + "-1"},
      {"null", with_take("null"), false, no_match + "null"},
      {"true", with_take("true"), false, no_match + "true or false"},
      {"array", with_take("[]"), false, no_match + "a list"},
      {"object", with_take("{}"), false, no_match + "an object"},
      {"in discards", kyoku_with([](kyoku_json& j) { j.discards[2] = "[false]"; }), false,
       "seat 2, discard 0 at byte 199: a discard entry must be a tile code, 60 or a riichi or kan text, not true or false"},
  });

  struct ItemCase {
    std::string item;
    ActionItem::Kind kind;
    int value;
    std::string text;
  } cases[] = {
      {"11", ActionItem::Kind::tile, 0, ""},
      {"0", ActionItem::Kind::tile, 37, ""},
      {"-0", ActionItem::Kind::tile, 37, ""},
      {"53", ActionItem::Kind::tile, 36, ""},
      {"47", ActionItem::Kind::tile, 33, ""},
      {"60", ActionItem::Kind::number, 60, ""},
      {"10", ActionItem::Kind::number, 10, ""},
      {"255", ActionItem::Kind::number, 255, ""},
      {R"("r60")", ActionItem::Kind::text, 0, "r60"},
      {R"("p\u6771")", ActionItem::Kind::text, 0, "p東"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    const auto r = parse_text(with_take(c.item));
    ASSERT_TRUE(r.ok()) << describe(r.error());
    const auto& takes = r.value().log.at(0).seats[1].takes;
    ASSERT_EQ(takes.size(), 1u);
    EXPECT_EQ(takes[0].kind, c.kind);
    if (c.kind == ActionItem::Kind::text) {
      EXPECT_EQ(takes[0].text, c.text);
    } else {
      EXPECT_EQ(takes[0].value, c.value);
    }
  }
}

// A short description of a result item: "text:X", "deltas:a,b,c,d", or
// "list:" and one letter per element (n number, s string, b bool, z null,
// a array, o object).
std::string describe(const ResultItem& item) {
  if (auto* s = std::get_if<std::string>(&item)) return "text:" + *s;
  if (auto* d = std::get_if<Deltas>(&item))
    return "deltas:" + std::to_string((*d)[0]) + "," + std::to_string((*d)[1]) + "," +
           std::to_string((*d)[2]) + "," + std::to_string((*d)[3]);
  std::string out = "list:";
  for (const JsonItem& j : std::get<std::vector<JsonItem>>(item)) {
    switch (j.kind) {
      case JsonItem::Kind::null: out += 'z'; break;
      case JsonItem::Kind::boolean: out += 'b'; break;
      case JsonItem::Kind::int64:
      case JsonItem::Kind::uint64:
      case JsonItem::Kind::float64: out += 'n'; break;
      case JsonItem::Kind::string: out += 's'; break;
      case JsonItem::Kind::array: out += 'a'; break;
      case JsonItem::Kind::object: out += 'o'; break;
    }
  }
  return out;
}

TEST(document_test, result_items) {
  struct ItemCase {
    std::string item;
    std::string want;  // describe(), or "" for refused
  } cases[] = {
      {R"("和了")", "text:和了"},
      {R"("")", "text:"},
      {"[1000,-1000,0,0]", "deltas:1000,-1000,0,0"},
      {"[-2147483648,2147483647,-0,0]", "deltas:-2147483648,2147483647,0,0"},
      {"[1,2,3]", "list:nnn"},
      {"[1,2,3,4,5]", "list:nnnnn"},
      {R"([1,2,3,"x"])", "list:nnns"},
      {"[1.5,0,0,0]", "list:nnnn"},
      {"[1000.0,0,0,0]", "list:nnnn"},
      {"[2147483648,0,0,0]", "list:nnnn"},
      {"[0,0,0,-2147483649]", "list:nnnn"},
      {"[]", "list:"},
      {R"([null,true,false,"s",[1],{"a":1},-1,1e5])", "list:zbbsaonn"},
      {"[[1,2,3,4]]", "list:a"},
      {"5", ""},
      {"1.5", ""},
      {"null", ""},
      {"true", ""},
      {"{}", ""},
      {"[1e400,0,0,0]", ""},
      {R"(["\ud800"])", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.item);
    const auto r = parse_text(with_results("[" + c.item + "]"));
    if (c.want.empty()) {
      ASSERT_FALSE(r.ok());
      if (c.item.find_first_of("[\"") == std::string::npos) {
        EXPECT_NE(describe(r.error()).find("a result entry must be a string or a list, not "), std::string::npos)
            << describe(r.error());
      }
      continue;
    }
    ASSERT_TRUE(r.ok()) << describe(r.error());
    const auto& results = r.value().log.at(0).results;
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(describe(results[0]), c.want);
  }
}

TEST(document_test, result_list_numbers) {
  const auto r = parse_text(with_results(
      R"(["和了",[0,0,0,0],[2,-3,1.5,2.0,18446744073709551615,-9223372036854775808,1e-400]])"));
  ASSERT_TRUE(r.ok()) << describe(r.error());
  const auto& results = r.value().log.at(0).results;
  ASSERT_EQ(results.size(), 3u);
  const auto& list = std::get<std::vector<JsonItem>>(results[2]);
  ASSERT_EQ(list.size(), 7u);
  auto int_value = [](const JsonItem& j) -> long double {
    return j.kind == JsonItem::Kind::int64 ? j.i : static_cast<long double>(j.u);
  };
  EXPECT_TRUE(list[0].kind == JsonItem::Kind::int64 || list[0].kind == JsonItem::Kind::uint64);
  EXPECT_EQ(int_value(list[0]), 2);
  EXPECT_EQ(list[1].kind, JsonItem::Kind::int64);
  EXPECT_EQ(list[1].i, -3);
  EXPECT_EQ(list[2].kind, JsonItem::Kind::float64);
  EXPECT_EQ(list[2].f, 1.5);
  EXPECT_EQ(list[3].kind, JsonItem::Kind::float64);  // 2.0 is a float, not an integer
  EXPECT_EQ(list[3].f, 2.0);
  EXPECT_EQ(list[4].kind, JsonItem::Kind::uint64);
  EXPECT_EQ(list[4].u, 18446744073709551615u);
  EXPECT_EQ(list[5].kind, JsonItem::Kind::int64);
  EXPECT_EQ(list[5].i, INT64_MIN);
  EXPECT_EQ(list[6].kind, JsonItem::Kind::float64);
  EXPECT_EQ(list[6].f, 0.0);
}

TEST(document_test, reads_every_field) {
  kyoku_json k;
  k.round = "[3,1,2]";
  k.scores = "[25000,-100,2147483647,-2147483648]";
  k.dora = "[23,0,53]";
  k.ura = "[41]";
  k.takes[0] = R"([25,"c121314",60])";
  k.discards[0] = R"([60,"r11",0])";
  k.results = R"(["和了",[0,8000,0,-8000],[1,3,1,"30符4飜8000点"]])";
  log_json l;
  l.log = "[" + kyoku_json{}.text() + "," + k.text() + "]";
  l.name = R"(["A","B\"\\","東\n","\ud83d\ude00"])";
  l.rule = R"({"disp":"般南喰赤","aka":1,"aka51":2,"aka52":3,"aka53":4})";
  l.extra = R"(,"ratingc":"PF4","lobby":-7,"dan":["初段",""],"rate":[1,-2,1.5,1e3,1e-400],"sx":["M","F"])";
  const auto r = parse_text(l.text());
  ASSERT_TRUE(r.ok()) << describe(r.error());
  const RawLog& raw = r.value();

  EXPECT_EQ(raw.name, (std::array<std::string, 4>{"A", "B\"\\", "東\n", "\xf0\x9f\x98\x80"}));
  EXPECT_EQ(raw.rule.disp, "般南喰赤");
  EXPECT_EQ(raw.ratingc, "PF4");
  EXPECT_EQ(raw.lobby, -7);
  EXPECT_EQ(raw.dan, (std::vector<std::string>{"初段", ""}));
  EXPECT_EQ(raw.rate, (std::vector<double>{1, -2, 1.5, 1000, 0}));
  EXPECT_EQ(raw.sx, (std::vector<std::string>{"M", "F"}));

  ASSERT_EQ(raw.log.size(), 2u);
  const KyokuEntry& e = raw.log[1];
  EXPECT_EQ(e.round, 3);
  EXPECT_EQ(e.honba, 1);
  EXPECT_EQ(e.kyotaku, 2);
  EXPECT_EQ(e.scores, (std::array<std::int32_t, 4>{25000, -100, INT32_MAX, INT32_MIN}));
  EXPECT_EQ(e.dora_indicators, (std::vector<Tile>{Tile{11}, Tile{37}, Tile{36}}));
  EXPECT_EQ(e.ura_indicators, (std::vector<Tile>{Tile{27}}));
  for (int s = 0; s < 4; ++s) {
    SCOPED_TRACE(s);
    const SeatActions& seat = e.seats[s];
    for (int i = 0; i < 13; ++i)
      EXPECT_EQ(e.haipai[s][i], *mjai::tile_from_code(kifuzan::test::haipai_codes[s][i])) << i;
    ASSERT_FALSE(seat.takes.empty());
    EXPECT_EQ(seat.takes[0].kind, ActionItem::Kind::tile);
    EXPECT_EQ(seat.takes[0].tile(), *mjai::tile_from_code(static_cast<std::uint8_t>(25 + s)));
    ASSERT_FALSE(seat.discards.empty());
    if (s > 0) {
      ASSERT_EQ(seat.discards.size(), 1u);
      EXPECT_EQ(seat.discards[0].tile(), *mjai::tile_from_code(static_cast<std::uint8_t>(11 + s)));
    }
  }
  const SeatActions& s0 = e.seats[0];
  ASSERT_EQ(s0.takes.size(), 3u);
  EXPECT_EQ(s0.takes[1].kind, ActionItem::Kind::text);
  EXPECT_EQ(s0.takes[1].text, "c121314");
  EXPECT_EQ(s0.takes[2].kind, ActionItem::Kind::number);
  EXPECT_EQ(s0.takes[2].value, 60);
  ASSERT_EQ(s0.discards.size(), 3u);
  EXPECT_EQ(s0.discards[0].kind, ActionItem::Kind::number);
  EXPECT_EQ(s0.discards[1].text, "r11");
  EXPECT_EQ(s0.discards[2].kind, ActionItem::Kind::tile);
  EXPECT_EQ(s0.discards[2].tile(), mjai::unknown_tile);
  ASSERT_EQ(e.results.size(), 3u);
  EXPECT_EQ(describe(e.results[0]), "text:和了");
  EXPECT_EQ(describe(e.results[1]), "deltas:0,8000,0,-8000");
  EXPECT_EQ(describe(e.results[2]), "list:nnns");

  const KyokuEntry& first = raw.log[0];
  EXPECT_EQ(first.scores, (std::array<std::int32_t, 4>{25000, 25000, 25000, 25000}));
  ASSERT_EQ(first.results.size(), 2u);
  EXPECT_EQ(describe(first.results[0]), "text:流局");
  EXPECT_EQ(describe(first.results[1]), "deltas:1500,-1500,1500,-1500");
}

TEST(document_test, optional_fields_absent) {
  const auto r = parse_text(with_extra(R"(,"lobby":null,"zzz":1)"));
  ASSERT_TRUE(r.ok()) << describe(r.error());
  EXPECT_FALSE(r.value().ratingc.has_value());
  EXPECT_FALSE(r.value().lobby.has_value());
  EXPECT_FALSE(r.value().dan.has_value());
  EXPECT_FALSE(r.value().rate.has_value());
  EXPECT_FALSE(r.value().sx.has_value());

  const auto a = parse_text(R"([[],["w","x","y","z"],["d",1],"r",5,null,[2],null])");
  ASSERT_TRUE(a.ok()) << describe(a.error());
  EXPECT_TRUE(a.value().log.empty());
  EXPECT_EQ(a.value().name[3], "z");
  EXPECT_EQ(a.value().rule.disp, "d");
  EXPECT_EQ(a.value().rule.aka, 1);
  EXPECT_EQ(a.value().ratingc, "r");
  EXPECT_EQ(a.value().lobby, 5);
  EXPECT_FALSE(a.value().dan.has_value());
  EXPECT_EQ(a.value().rate, (std::vector<double>{2}));
  EXPECT_FALSE(a.value().sx.has_value());
}

}  // namespace
