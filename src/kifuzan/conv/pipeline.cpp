#include "kifuzan/conv/pipeline.h"

#include <simdjson.h>

#include <algorithm>
#include <cstring>

#include "kifuzan/conv/convert.h"
#include "kifuzan/conv/document.h"
#include "kifuzan/conv/locate.h"
#include "kifuzan/conv/log.h"
#include "mjai/json_writer.h"

namespace kifuzan::conv {

namespace {

// Serializes each block of events as soon as it is complete, so that only
// one kyoku's events exist at a time: they stay in cache, and a long game
// needs no list of all its events beside its text.
class line_writer final : public EventSink {
 public:
  explicit line_writer(const Log& log) {
    const std::size_t events = estimated_event_count(log);
    // Most lines are 40-60 bytes; a start_kyoku is about 420.
    grow(events * 56 + log.kyokus.size() * 420 + 256);
    lines_.end.reserve(events);
    lines_.ascii.reserve(events);
    block_.reserve(256);
  }

  std::vector<Event>& block() override { return block_; }

  void done() override {
    std::size_t bound = 0;
    for (const Event& e : block_) bound += mjai::max_event_size(e) + 1;
    if (size_ + bound > capacity_) grow(std::max(2 * capacity_, size_ + bound));
    char* const begin = lines_.buffer.get();
    char* p = begin + size_;
    for (const Event& e : block_) {
      char* const line = p;
      p = mjai::write_event(p, e);
      // Only player names can carry non-ASCII text.
      bool ascii = true;
      if (std::holds_alternative<mjai::StartGame>(e))
        for (const char* c = line; c < p; ++c)
          if (static_cast<unsigned char>(*c) >= 0x80) {
            ascii = false;
            break;
          }
      lines_.end.push_back(static_cast<std::size_t>(p - begin));
      lines_.ascii.push_back(ascii);
      *p++ = '\n';
    }
    size_ = static_cast<std::size_t>(p - begin);
    block_.clear();
  }

  Lines finish() && {
    lines_.text = std::string_view(lines_.buffer.get(), size_);
    return std::move(lines_);
  }

 private:
  // Uninitialised on purpose: every byte up to size_ is written before use.
  void grow(std::size_t capacity) {
    std::unique_ptr<char[]> bigger(new char[capacity]);
    if (size_) std::memcpy(bigger.get(), lines_.buffer.get(), size_);
    lines_.buffer = std::move(bigger);
    capacity_ = capacity;
  }

  Lines lines_;
  std::vector<Event> block_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Finds the byte of a value that normalising or converting refused; the
// reader locates its own.
[[gnu::cold]] mjai::failure<Error> located(Error&& e, const PaddedText& input) {
  PathStep path[4];
  std::size_t n = 0;
  if (e.kind == ErrorKind::three_player) {
    path[n++] = {2, "rule"};
    path[n++] = {0, "disp"};
  } else if (e.kyoku) {
    path[n++] = {0, "log"};
    path[n++] = {static_cast<std::uint32_t>(*e.kyoku), {}};
    std::uint32_t element = 0;
    switch (e.field) {
      case Field::dora: element = 2; break;
      case Field::takes: element = 5 + 3 * e.seat.value_or(0); break;
      case Field::discards: element = 6 + 3 * e.seat.value_or(0); break;
      case Field::results: element = 16; break;
      default: break;
    }
    if (element) path[n++] = {element, {}};
    if (element && e.entry) path[n++] = {static_cast<std::uint32_t>(*e.entry), {}};
  }
  // A missing take lies past the end of its list; the list itself is named.
  std::optional<std::size_t> offset = value_offset(input, std::span(path, n));
  if (!offset && n == 4) offset = value_offset(input, std::span(path, 3));
  if (n) e.offset = offset;
  return mjai::failure{std::move(e)};
}

}  // namespace

mjai::result<Lines, Error> convert_text(const PaddedText& input) {
  auto raw = parse(input);
  if (!raw) return mjai::failure{std::move(raw).error()};
  auto lines = convert_raw_log(std::move(raw).value());
  if (!lines) return located(std::move(lines).error(), input);
  return lines;
}

mjai::result<Lines, Error> convert_raw_log(RawLog&& raw) {
  auto log = normalise(std::move(raw));
  if (!log) return mjai::failure{std::move(log).error()};
  // Converting and serializing go kyoku by kyoku; serializing cannot fail,
  // so a conversion failure is still the first and only failure.
  line_writer writer(log.value());
  if (auto r = convert_game_to(log.value(), writer); !r) return mjai::failure{std::move(r).error()};
  return std::move(writer).finish();
}

mjai::result<Lines, Stage> tenhou_to_mjai_lines(const PaddedText& input) {
  auto r = convert_text(input);
  if (!r) return mjai::failure{stage_of(r.error().kind)};
  return std::move(r).value();
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace kifuzan::conv
