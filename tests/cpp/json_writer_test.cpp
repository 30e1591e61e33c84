#include "mjai/json_writer.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace mjai;

// Tile ids by name, for readable cases.
constexpr Tile m(int r) { return Tile{static_cast<std::uint8_t>(r - 1)}; }
constexpr Tile p(int r) { return Tile{static_cast<std::uint8_t>(8 + r)}; }
constexpr Tile s(int r) { return Tile{static_cast<std::uint8_t>(17 + r)}; }
constexpr Tile east{27}, chun{33}, red5m{34}, red5p{35}, red5s{36}, unknown{37};

std::string json(const Event& e) {
  std::string out;
  write_event(out, e);
  return out;
}

// What the events point to; they must outlive the events.
const Deltas even_scores{25000, 25000, 25000, 25000};
const Deltas extreme_scores{INT32_MIN, INT32_MAX, 0, -1};
const Hands sample_hands = [] {
  Hands h{};
  for (int seat = 0; seat < 3; ++seat)
    for (int i = 0; i < 13; ++i) h[seat][i] = Tile{static_cast<std::uint8_t>(seat * 9 + i)};
  h[3] = {east, Tile{28}, Tile{29}, Tile{30}, Tile{31}, Tile{32}, chun, red5m, red5p, red5s, unknown, m(1), m(2)};
  return h;
}();
const Names abcd{"A", "B", "C", "D"}, a_empty_cd{"a", "", "c", "d"}, lower{"a", "b", "c", "d"};
const Deltas ron8000{0, 8000, 0, -8000}, ron1000{1000, 0, -1000, 0}, tsumo300{-100, -100, -100, 300};
const Deltas drawn{1500, -1500, 1500, -1500}, extremes{INT32_MIN, INT32_MAX, -10, 100000};
const std::vector<Tile> ura_2s{s(2)}, no_ura{}, ura_three{m(1), red5p, unknown};

StartKyoku sample_start_kyoku() {
  StartKyoku k;
  k.bakaze = east;
  k.dora_marker = p(3);
  k.kyoku = 1;
  k.scores = &even_scores;
  k.tehais = &sample_hands;
  return k;
}

// The start_kyoku text of sample_start_kyoku(), with its numbers replaced.
std::string start_kyoku_json(std::string_view numbers) {
  return R"({"type":"start_kyoku","bakaze":"E","dora_marker":"3p",)" + std::string(numbers) +
         R"(,"tehais":[)"
         R"(["1m","2m","3m","4m","5m","6m","7m","8m","9m","1p","2p","3p","4p"],)"
         R"(["1p","2p","3p","4p","5p","6p","7p","8p","9p","1s","2s","3s","4s"],)"
         R"(["1s","2s","3s","4s","5s","6s","7s","8s","9s","E","S","W","N"],)"
         R"(["E","S","W","N","P","F","C","5mr","5pr","5sr","?","1m","2m"]]})";
}

struct Case {
  const char* name;
  Event event;
  std::string want;
};

TEST(json_writer_test, every_variant) {
  const Case cases[] = {
      {"none", None{}, R"({"type":"none"})"},
      {"start_game", StartGame{&abcd, 0, true},
       R"({"type":"start_game","names":["A","B","C","D"],"kyoku_first":0,"aka_flag":true})"},
      {"start_game tonpuu no aka", StartGame{&a_empty_cd, 4, false},
       R"({"type":"start_game","names":["a","","c","d"],"kyoku_first":4,"aka_flag":false})"},
      {"start_kyoku", sample_start_kyoku(),
       start_kyoku_json(R"("kyoku":1,"honba":0,"kyotaku":0,"oya":0,"scores":[25000,25000,25000,25000])")},
      {"tsumo", Tsumo{3, red5s}, R"({"type":"tsumo","actor":3,"pai":"5sr"})"},
      {"tsumo unknown", Tsumo{0, unknown}, R"({"type":"tsumo","actor":0,"pai":"?"})"},
      {"dahai", Dahai{2, s(9), false}, R"({"type":"dahai","actor":2,"pai":"9s","tsumogiri":false})"},
      {"dahai tsumogiri", Dahai{1, chun, true},
       R"({"type":"dahai","actor":1,"pai":"C","tsumogiri":true})"},
      {"chi", Chi{1, 0, m(3), {m(4), red5m}},
       R"({"type":"chi","actor":1,"target":0,"pai":"3m","consumed":["4m","5mr"]})"},
      {"pon", Pon{0, 2, red5p, {p(5), p(5)}},
       R"({"type":"pon","actor":0,"target":2,"pai":"5pr","consumed":["5p","5p"]})"},
      {"daiminkan", Daiminkan{3, 1, east, {east, east, east}},
       R"({"type":"daiminkan","actor":3,"target":1,"pai":"E","consumed":["E","E","E"]})"},
      {"kakan", Kakan{0, p(7), {p(7), p(7), p(7)}},
       R"({"type":"kakan","actor":0,"pai":"7p","consumed":["7p","7p","7p"]})"},
      {"ankan", Ankan{3, {east, east, east, east}},
       R"({"type":"ankan","actor":3,"consumed":["E","E","E","E"]})"},
      {"dora", Dora{s(2)}, R"({"type":"dora","dora_marker":"2s"})"},
      {"reach", Reach{2}, R"({"type":"reach","actor":2})"},
      {"reach_accepted", ReachAccepted{1}, R"({"type":"reach_accepted","actor":1})"},
      {"hora full", Hora{1, 3, 4, &ron8000, &ura_2s},
       R"({"type":"hora","actor":1,"target":3,"deltas":[0,8000,0,-8000],"ura_markers":["2s"]})"},
      {"hora bare", Hora{1, 1, 4, nullptr, nullptr},
       R"({"type":"hora","actor":1,"target":1})"},
      {"hora empty ura", Hora{0, 2, 4, &ron1000, &no_ura},
       R"({"type":"hora","actor":0,"target":2,"deltas":[1000,0,-1000,0],"ura_markers":[]})"},
      {"hora ura only", Hora{2, 0, 4, nullptr, &ura_three},
       R"({"type":"hora","actor":2,"target":0,"ura_markers":["1m","5pr","?"]})"},
      {"hora deltas only", Hora{3, 3, 4, &tsumo300, nullptr},
       R"({"type":"hora","actor":3,"target":3,"deltas":[-100,-100,-100,300]})"},
      {"ryukyoku bare", Ryukyoku{}, R"({"type":"ryukyoku"})"},
      {"ryukyoku deltas", Ryukyoku{&drawn},
       R"({"type":"ryukyoku","deltas":[1500,-1500,1500,-1500]})"},
      {"end_kyoku", EndKyoku{}, R"({"type":"end_kyoku"})"},
      {"end_game", EndGame{}, R"({"type":"end_game"})"},
      {"nukidora", Kita{1, Tile{30}}, R"({"type":"nukidora","actor":1,"pai":"N"})"},
      {"kita", Kita{2, Tile{30}, Kita::Name::kita}, R"({"type":"kita","actor":2,"pai":"N"})"},
  };
  bool seen[std::variant_size_v<Event>] = {};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json(c.event), c.want);
    seen[c.event.index()] = true;
  }
  for (std::size_t i = 0; i < std::variant_size_v<Event>; ++i) EXPECT_TRUE(seen[i]) << i;
  static_assert(std::variant_size_v<Event> == 18);
}

// Three seats leave out the fourth entry of every per-seat list, and only it.
TEST(json_writer_test, three_seats) {
  StartKyoku k = sample_start_kyoku();
  k.seats = 3;
  k.scores = &extreme_scores;
  std::string want = start_kyoku_json(
      R"("kyoku":1,"honba":0,"kyotaku":0,"oya":0,"scores":[-2147483648,2147483647,0])");
  want.erase(want.find(R"(,["E","S")"), std::string_view(R"(,["E","S","W","N","P","F","C","5mr","5pr","5sr","?","1m","2m"])").size());
  EXPECT_EQ(json(k), want);
  const Case cases[] = {
      {"start_game", StartGame{&abcd, 0, true, 3},
       R"({"type":"start_game","names":["A","B","C"],"kyoku_first":0,"aka_flag":true})"},
      {"hora", Hora{1, 3, 3, &extremes, &ura_2s},
       R"({"type":"hora","actor":1,"target":3,"deltas":[-2147483648,2147483647,-10],"ura_markers":["2s"]})"},
      {"ryukyoku", Ryukyoku{&drawn, 3}, R"({"type":"ryukyoku","deltas":[1500,-1500,1500]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json(c.event), c.want);
  }
}

TEST(json_writer_test, integer_extremes) {
  StartKyoku k = sample_start_kyoku();
  k.kyoku = 255;
  k.honba = 10;
  k.kyotaku = 99;
  k.oya = 3;
  k.scores = &extreme_scores;
  const std::string want = start_kyoku_json(
      R"("kyoku":255,"honba":10,"kyotaku":99,"oya":3,"scores":[-2147483648,2147483647,0,-1])");
  EXPECT_EQ(json(k), want);

  const Case cases[] = {
      {"ryukyoku extremes", Ryukyoku{&extremes},
       R"({"type":"ryukyoku","deltas":[-2147483648,2147483647,-10,100000]})"},
      {"seat 255", Reach{255}, R"({"type":"reach","actor":255})"},
      {"two digits", Tsumo{42, m(1)}, R"({"type":"tsumo","actor":42,"pai":"1m"})"},
      {"three digits", Tsumo{100, m(1)}, R"({"type":"tsumo","actor":100,"pai":"1m"})"},
      {"kyoku_first 255", StartGame{&lower, 255, false},
       R"({"type":"start_game","names":["a","b","c","d"],"kyoku_first":255,"aka_flag":false})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(json(c.event), c.want);
  }
}

TEST(json_writer_test, appends_to_buffer) {
  std::string out = "x\n";
  write_event(out, EndKyoku{});
  write_event(out, EndGame{});
  EXPECT_EQ(out, R"(x
{"type":"end_kyoku"}{"type":"end_game"})");
}

TEST(json_writer_test, escapes_control_chars) {
  struct StrCase {
    const char* name;
    std::string_view input;
    std::string_view want;
  } cases[] = {
      {"empty", "", R"("")"},
      {"plain", "abc", R"("abc")"},
      {"quote", "a\"b", R"("a\"b")"},
      {"backslash", "a\\b", R"("a\\b")"},
      {"slash unchanged", "a/b", R"("a/b")"},
      {"short escapes", "\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {"nul", std::string_view("a\0b", 3), R"("a\u0000b")"},
      {"u0001", "\x01", R"("\u0001")"},
      {"vertical tab", "\x0b", R"("\u000b")"},
      {"escape lowercase hex", "\x1b[0m", R"("\u001b[0m")"},
      {"u001f", "\x1f", R"("\u001f")"},
      {"space unchanged", " ", R"(" ")"},
      {"del unchanged", "\x7f", "\"\x7f\""},
      {"japanese unchanged", "東南西北", "\"東南西北\""},
      {"emoji unchanged", "\xf0\x9f\x98\x80", "\"\xf0\x9f\x98\x80\""},
      {"mixed", "q\"b\\t\tc\x01", R"("q\"b\\t\tc\u0001")"},
      {"only escapes", "\"\"\\", R"("\"\"\\")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = "<";
    write_json_string(out, c.input);
    EXPECT_EQ(out, "<" + std::string(c.want));
  }
  // Every control character has exactly one written form.
  for (int ch = 0; ch < 0x20; ++ch) {
    SCOPED_TRACE(ch);
    std::string out;
    write_json_string(out, std::string(1, static_cast<char>(ch)));
    const char* shorts = nullptr;
    switch (ch) {
      case 8: shorts = R"("\b")"; break;
      case 9: shorts = R"("\t")"; break;
      case 10: shorts = R"("\n")"; break;
      case 12: shorts = R"("\f")"; break;
      case 13: shorts = R"("\r")"; break;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "\"\\u%04x\"", ch);
    EXPECT_EQ(out, shorts ? shorts : buf);
  }
}

TEST(json_writer_test, names_are_escaped_in_start_game) {
  const Names names{"a\"b", "c\\d", "e\tf\x01", "東"};
  const Event e = StartGame{&names, 0, true};
  EXPECT_EQ(json(e),
            R"({"type":"start_game","names":["a\"b","c\\d","e\tf\u0001","東"],)"
            R"("kyoku_first":0,"aka_flag":true})");
}

}  // namespace
