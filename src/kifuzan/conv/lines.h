// The converter's output: lines of mjai JSON, each followed by '\n'. One view
// type for every reader of them, whether the lines are a whole game's (owned
// by a Lines) or one block handed to a LineSink.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace kifuzan::conv {

// Lines held elsewhere, and where each ends; as std::string_view is to a
// string, valid while what it points into lives.
struct LinesView {
  std::string_view text;  // every line, each followed by '\n'
  // end[i] is the offset in `text` of the '\n' that ends line i; line i
  // starts at end[i-1] + 1 (or 0).
  std::span<const std::size_t> end;
  // Every line from this one on is pure ASCII, so a reader can copy it
  // without decoding. Only player names can be anything else, and they are
  // in the start_game line, which comes first: it is 0 or 1.
  std::size_t ascii_from = 0;

  std::size_t size() const noexcept { return end.size(); }
  std::string_view line(std::size_t i) const noexcept {
    const std::size_t b = i ? end[i - 1] + 1 : 0;
    return text.substr(b, end[i] - b);
  }
  bool ascii(std::size_t i) const noexcept { return i >= ascii_from; }
};

// A whole game's lines, owned; read them through view().
class Lines {
 public:
  Lines(std::unique_ptr<char[]> text, std::size_t size, std::vector<std::size_t> end, std::size_t ascii_from) noexcept
      : text_(std::move(text)), size_(size), end_(std::move(end)), ascii_from_(ascii_from) {}

  // Not of a temporary: the view would outlive the lines.
  LinesView view() const& noexcept { return {std::string_view(text_.get(), size_), end_, ascii_from_}; }
  LinesView view() const&& = delete;
  operator LinesView() const& noexcept { return view(); }
  operator LinesView() const&& = delete;

 private:
  std::unique_ptr<char[]> text_;
  std::size_t size_;
  std::vector<std::size_t> end_;
  std::size_t ascii_from_;
};

}  // namespace kifuzan::conv
