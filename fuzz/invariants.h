// Checks shared by both harnesses: run the pipeline twice on one input, once
// whole and once block by block, and trap on any property every successful
// conversion must have.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "kifuzan/conv/diagnose.h"
#include "kifuzan/conv/input.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"

namespace kifuzan::fuzz {

[[noreturn]] inline void fail() { __builtin_trap(); }
inline void require(bool ok) {
  if (!ok) fail();
}

inline bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

inline void check_lines(conv::LinesView lines, bool input_utf8) {
  const std::size_t n = lines.size();
  // start_game and end_game at least.
  require(n >= 2);
  // Only the start_game line, the first, can hold names that are not ASCII.
  require(lines.ascii_from <= 1);
  require(!lines.text.empty() && lines.text.size() == lines.end[n - 1] + 1);
  std::size_t open_kyoku = 0;
  for (std::size_t i = 0; i < n; ++i) {
    require(lines.end[i] < lines.text.size() && lines.text[lines.end[i]] == '\n');
    if (i) require(lines.end[i] > lines.end[i - 1]);
    const std::string_view l = lines.line(i);
    require(!l.empty());
    require(starts_with(l, "{\"type\":\""));
    require(l.back() == '}');
    require(l.find('\n') == std::string_view::npos);
    if (lines.ascii(i))
      for (unsigned char c : l) require(c < 0x80);
    const bool sg = starts_with(l, "{\"type\":\"start_game\"");
    const bool eg = starts_with(l, "{\"type\":\"end_game\"");
    require(sg == (i == 0));
    require(eg == (i == n - 1));
    // Kyoku blocks neither nest nor stay open, and play only happens inside one.
    if (starts_with(l, "{\"type\":\"start_kyoku\"")) {
      require(open_kyoku == 0);
      open_kyoku = 1;
    } else if (starts_with(l, "{\"type\":\"end_kyoku\"")) {
      require(open_kyoku == 1);
      open_kyoku = 0;
    } else if (!sg && !eg) {
      require(open_kyoku == 1);
    }
  }
  require(open_kyoku == 0);
  if (input_utf8) require(kifuzan::base::is_valid_utf8(lines.text));
}

// The block path's output joined, with each block's first line number.
struct joined_blocks final : conv::LineSink {
  std::string text;
  std::vector<std::size_t> end, first_line;
  std::size_t ascii_from = 0;
  bool block(const conv::LinesView& b) override {
    require(b.size() > 0 && b.text.size() == b.end[b.size() - 1] + 1 && b.ascii_from <= b.size());
    first_line.push_back(end.size());
    if (b.ascii_from) ascii_from = end.size() + b.ascii_from;
    const std::size_t base = text.size();
    text += b.text;
    for (std::size_t e : b.end) end.push_back(base + e);
    return true;
  }
};

// The package's reading of any number of players, in each three-player
// form: the specified lines for whatever the specified reading converts
// (but a kita text, which it reads as a riichi), well-formed lines for
// three-player records, the same lines block by block, forms that differ
// only in the kita's name (and in the padded seat's line content), and
// refusals that point inside the text.
inline void run_any_player_checks(const conv::PaddedText& input,
                                  const kifuzan::base::result<conv::Lines, conv::Stage>& specified, bool input_utf8) {
  constexpr conv::ThreePlayerForm forms[] = {conv::ThreePlayerForm::nukidora, conv::ThreePlayerForm::kita,
                                             conv::ThreePlayerForm::nukidora4};
  std::vector<std::string> texts;
  for (const conv::ThreePlayerForm form : forms) {
    conv::Options options;
    options.any_players = true;
    options.form = form;
    auto r = conv::convert_text(input, options);
    joined_blocks b;
    auto blocks = conv::convert_text_blocks(input, options, b);
    require(static_cast<bool>(r) == static_cast<bool>(blocks));
    if (!r) {
      require(blocks.error() && blocks.error()->kind == r.error().kind);
      require(!r.error().offset || *r.error().offset <= input.size());
      require(!conv::describe(r.error()).empty());
      require(!specified || r.error().kind == conv::ErrorKind::kita_in_four_player);
      return;
    }
    const conv::LinesView lines = r.value().view();
    check_lines(lines, input_utf8);
    require(lines.text == b.text && lines.ascii_from == b.ascii_from);
    if (specified) require(lines.text == specified.value().view().text);
    texts.emplace_back(lines.text);
  }
  // "kita" is four letters shorter than "nukidora" in each kita line.
  std::string renamed = texts[1];
  for (std::size_t at = renamed.find("{\"type\":\"kita\""); at != std::string::npos;
       at = renamed.find("{\"type\":\"kita\"", at + 1))
    renamed.replace(at + 9, 4, "nukidora");
  require(renamed == texts[0]);
  require(std::count(texts[2].begin(), texts[2].end(), '\n') == std::count(texts[0].begin(), texts[0].end(), '\n'));
}

inline void run_pipeline_checks(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const conv::PaddedText input(bytes);
  auto first = conv::tenhou_to_mjai_lines(input);
  run_any_player_checks(input, first, kifuzan::base::is_valid_utf8(bytes));
  // A fresh copy, so that nothing the first run left in the buffer matters.
  const conv::PaddedText again(bytes);
  joined_blocks b;
  auto second = conv::tenhou_to_mjai_blocks(again, b);
  require(static_cast<bool>(first) == static_cast<bool>(second));
  // The explanation reads the text again on its own paths; it must reach
  // the same verdict and stay inside the text.
  const auto why = conv::diagnose(input);
  require(why.has_value() == !first);
  if (!first) {
    require(first.error() == second.error());
    require(why->stage == first.error() && !why->reason.empty());
    require(!why->offset || *why->offset <= size);
    return;
  }
  const conv::LinesView a = first.value().view();
  require(second.value() == a.size());
  require(a.text == b.text);
  require(std::ranges::equal(a.end, b.end));
  require(a.ascii_from == b.ascii_from);
  check_lines(a, kifuzan::base::is_valid_utf8(bytes));
  // Blocks: start_game alone, then each kyoku from its start_kyoku, then end_game alone.
  require(b.first_line.size() >= 2 && b.first_line[1] == 1 && b.first_line.back() == a.size() - 1);
  for (std::size_t i = 1; i + 1 < b.first_line.size(); ++i)
    require(starts_with(a.line(b.first_line[i]), "{\"type\":\"start_kyoku\""));
}

}  // namespace kifuzan::fuzz
