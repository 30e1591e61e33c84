// Small tenhou.net/6 log texts for the reader and normalisation tests: a
// valid minimal log whose pieces are JSON texts a test can replace one by one.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "kifuzan/conv/document.h"
#include "kifuzan/conv/input.h"

namespace kifuzan::test {

// The 13 starting tiles of each seat, as tenhou codes (seat 2 holds a 0).
inline constexpr std::array<std::array<int, 13>, 4> haipai_codes = {{
    {11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22, 23, 24},
    {25, 26, 27, 28, 29, 31, 32, 33, 34, 35, 36, 37, 38},
    {39, 41, 42, 43, 44, 45, 46, 47, 51, 52, 53, 0, 11},
    {12, 13, 14, 15, 16, 17, 18, 19, 21, 22, 23, 24, 25},
}};

template <std::size_t N>
std::string int_list(const std::array<int, N>& v) {
  std::string s = "[";
  for (std::size_t i = 0; i < N; ++i) s += (i ? "," : "") + std::to_string(v[i]);
  return s + "]";
}

// One 17-element kyoku array, piece by piece. Seat s takes 25+s and
// discards 60 (seat 0) or 11+s.
struct kyoku_json {
  std::string round = "[0,0,0]";
  std::string scores = "[25000,25000,25000,25000]";
  std::string dora = "[23]";
  std::string ura = "[]";
  std::array<std::string, 4> haipai = {int_list(haipai_codes[0]), int_list(haipai_codes[1]),
                                       int_list(haipai_codes[2]), int_list(haipai_codes[3])};
  std::array<std::string, 4> takes = {"[25]", "[26]", "[27]", "[28]"};
  std::array<std::string, 4> discards = {"[60]", "[12]", "[13]", "[14]"};
  std::string results = R"(["流局",[1500,-1500,1500,-1500]])";
  std::string extra;  // more elements after the result list, with their commas

  std::string text() const {
    std::string s = "[" + round + "," + scores + "," + dora + "," + ura;
    for (int i = 0; i < 4; ++i) s += "," + haipai[i] + "," + takes[i] + "," + discards[i];
    return s + "," + results + extra + "]";
  }
};

// The object form of a whole log with one kyoku.
struct log_json {
  std::string log = "[" + kyoku_json{}.text() + "]";
  std::string name = R"(["A","B","C","D"])";
  std::string rule = R"({"disp":"般南喰赤","aka":1,"aka51":1,"aka52":1,"aka53":1})";
  std::string extra;  // more members before the closing brace, with their commas

  std::string text() const {
    return R"({"log":)" + log + R"(,"name":)" + name + R"(,"rule":)" + rule + extra + "}";
  }
};

inline std::string with_kyoku(const kyoku_json& k) {
  log_json l;
  l.log = "[" + k.text() + "]";
  return l.text();
}

inline std::string with_results(std::string_view results) {
  kyoku_json k;
  k.results = std::string(results);
  return with_kyoku(k);
}

inline std::string with_rule(std::string_view rule) {
  log_json l;
  l.rule = std::string(rule);
  return l.text();
}

// A valid document that holds v as the value of an unknown key.
inline std::string with_unknown_value(std::string_view v) {
  return R"({"zzz":)" + std::string(v) + R"(,"log":[],"name":["a","b","c","d"],"rule":{}})";
}

// n nested arrays: "[[...]]".
inline std::string nested_arrays(std::size_t n) { return std::string(n, '[') + std::string(n, ']'); }

// n nested objects: {"a":{"a":{}}} for n = 3.
inline std::string nested_objects(std::size_t n) {
  std::string s;
  for (std::size_t i = 1; i < n; ++i) s += R"({"a":)";
  return s + "{}" + std::string(n - 1, '}');
}

inline kifuzan::base::result<conv::RawLog, conv::Error> parse_text(std::string_view s) {
  return conv::parse(conv::PaddedText(s));
}

}  // namespace kifuzan::test
