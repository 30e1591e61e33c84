// Hand-written tenhou.net/6 games for the play and driver tests, and the mjai
// lines expected from them, spelt out key by key.
#pragma once

#include <array>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kifuzan/conv/convert.h"
#include "kifuzan/conv/document.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"
#include "mjai/json_writer.h"

namespace kifuzan::test {

// One kyoku entry; every list member is a JSON array text. The default dora
// list shows 1m and has two indicators (1p, 2p) for kans.
struct KyokuSpec {
  std::string round = "[0,0,0]";
  std::string scores = "[25000,25000,25000,25000]";
  std::string dora = "[11,21,22]";
  std::string ura = "[]";
  std::array<std::string, 4> haipai;
  std::array<std::string, 4> takes{"[]", "[]", "[]", "[]"};
  std::array<std::string, 4> discards{"[]", "[]", "[]", "[]"};
  std::string result = R"(["流局",[0,0,0,0]])";

  KyokuSpec() { haipai.fill("[11,12,13,14,15,16,17,18,19,21,22,23,24]"); }

  KyokuSpec& seat(int s, std::string take_list, std::string discard_list) {
    takes[s] = std::move(take_list);
    discards[s] = std::move(discard_list);
    return *this;
  }
  KyokuSpec& with_round(std::string v) { round = std::move(v); return *this; }
  KyokuSpec& with_dora(std::string v) { dora = std::move(v); return *this; }
  KyokuSpec& with_ura(std::string v) { ura = std::move(v); return *this; }
  KyokuSpec& with_result(std::string v) { result = std::move(v); return *this; }

  std::string text() const {
    std::string s = "[" + round + "," + scores + "," + dora + "," + ura;
    for (int i = 0; i < 4; ++i) s += "," + haipai[i] + "," + takes[i] + "," + discards[i];
    return s + "," + result + "]";
  }
};

inline std::string game_text(const std::vector<KyokuSpec>& kyokus,
                             std::string_view names = R"(["A","B","C","D"])",
                             std::string_view rule = R"({"disp":"四般南喰赤","aka":1})") {
  std::string s = "{\"log\":[";
  for (std::size_t i = 0; i < kyokus.size(); ++i) s += (i ? "," : "") + kyokus[i].text();
  return s + "],\"name\":" + std::string(names) + ",\"rule\":" + std::string(rule) + "}";
}

// Outcome of the whole pipeline on one text: the stage that _kifuzan sees
// and the error behind it.
struct Outcome {
  std::optional<conv::Stage> failed;
  std::optional<conv::Error> error;
  std::vector<std::string> lines;
};

inline Outcome run(std::string_view text) {
  Outcome out;
  const conv::PaddedText input(text);
  auto r = conv::tenhou_to_mjai_lines(input);
  if (r) {
    const conv::LinesView lines = r.value().view();
    for (std::size_t i = 0; i < lines.size(); ++i) out.lines.emplace_back(lines.line(i));
    return out;
  }
  out.failed = r.error();
  if (auto detailed = conv::convert_text(input); !detailed) out.error = std::move(detailed).error();
  return out;
}

// The lines of a one-kyoku game after its start_kyoku, through end_kyoku.
inline std::vector<std::string> kyoku_lines(const Outcome& r) {
  if (r.lines.size() < 4) return {};
  return {r.lines.begin() + 2, r.lines.end() - 1};
}

inline std::vector<std::string> serialized(const std::vector<conv::Event>& events) {
  std::vector<std::string> out;
  for (const auto& e : events) {
    std::string s;
    mjai::write_event(s, e);
    out.push_back(std::move(s));
  }
  return out;
}

// Expected mjai lines.
namespace want {

inline std::string str(std::string_view v) { return "\"" + std::string(v) + "\""; }
inline std::string num(int v) { return std::to_string(v); }

inline std::string tiles(std::initializer_list<std::string_view> ts) {
  std::string s = "[";
  for (auto t : ts) s += (s.size() > 1 ? "," : "") + str(t);
  return s + "]";
}
inline std::string ints(std::initializer_list<int> vs) {
  std::string s = "[";
  for (int v : vs) s += (s.size() > 1 ? "," : "") + num(v);
  return s + "]";
}

inline std::string tsumo(int a, std::string_view p) {
  return R"({"type":"tsumo","actor":)" + num(a) + R"(,"pai":)" + str(p) + "}";
}
inline std::string dahai(int a, std::string_view p, bool tsumogiri) {
  return R"({"type":"dahai","actor":)" + num(a) + R"(,"pai":)" + str(p) + R"(,"tsumogiri":)" +
         (tsumogiri ? "true" : "false") + "}";
}
inline std::string call(std::string_view type, int a, int t, std::string_view p,
                        std::initializer_list<std::string_view> consumed) {
  return R"({"type":")" + std::string(type) + R"(","actor":)" + num(a) + R"(,"target":)" + num(t) +
         R"(,"pai":)" + str(p) + R"(,"consumed":)" + tiles(consumed) + "}";
}
inline std::string chi(int a, int t, std::string_view p, std::string_view c0, std::string_view c1) {
  return call("chi", a, t, p, {c0, c1});
}
inline std::string pon(int a, int t, std::string_view p, std::string_view c0, std::string_view c1) {
  return call("pon", a, t, p, {c0, c1});
}
inline std::string daiminkan(int a, int t, std::string_view p,
                             std::initializer_list<std::string_view> consumed) {
  return call("daiminkan", a, t, p, consumed);
}
inline std::string kakan(int a, std::string_view p, std::initializer_list<std::string_view> consumed) {
  return R"({"type":"kakan","actor":)" + num(a) + R"(,"pai":)" + str(p) + R"(,"consumed":)" +
         tiles(consumed) + "}";
}
inline std::string ankan(int a, std::initializer_list<std::string_view> consumed) {
  return R"({"type":"ankan","actor":)" + num(a) + R"(,"consumed":)" + tiles(consumed) + "}";
}
inline std::string dora(std::string_view p) { return R"({"type":"dora","dora_marker":)" + str(p) + "}"; }
inline std::string reach(int a) { return R"({"type":"reach","actor":)" + num(a) + "}"; }
inline std::string reach_accepted(int a) { return R"({"type":"reach_accepted","actor":)" + num(a) + "}"; }
inline std::string hora(int a, int t, std::initializer_list<int> deltas,
                        std::initializer_list<std::string_view> ura) {
  return R"({"type":"hora","actor":)" + num(a) + R"(,"target":)" + num(t) + R"(,"deltas":)" +
         ints(deltas) + R"(,"ura_markers":)" + tiles(ura) + "}";
}
inline std::string ryukyoku(std::initializer_list<int> deltas) {
  return R"({"type":"ryukyoku","deltas":)" + ints(deltas) + "}";
}
inline const std::string end_kyoku = R"({"type":"end_kyoku"})";
inline const std::string end_game = R"({"type":"end_game"})";
inline const std::string drawn = R"({"type":"ryukyoku","deltas":[0,0,0,0]})";

}  // namespace want
}  // namespace kifuzan::test
