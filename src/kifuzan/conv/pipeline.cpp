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

// A growable text buffer, left uninitialised on purpose: every byte up to
// size is written before use.
struct line_buffer {
  std::unique_ptr<char[]> data;
  std::size_t size = 0;
  std::size_t capacity = 0;

  void grow(std::size_t at_least) {
    const std::size_t capacity_now = std::max(2 * capacity, at_least);
    std::unique_ptr<char[]> bigger(new char[capacity_now]);
    if (size) std::memcpy(bigger.get(), data.get(), size);
    data = std::move(bigger);
    capacity = capacity_now;
  }
};

// Writes the block's events in the order of play, one line each, after what
// `out` holds, in one pass: room is made per event from its bound. Appends
// each line's end offset to `end` and returns the block's ascii_from: only
// the player names of a StartGame can make a line not ASCII, so no other
// line is scanned.
template <class Ends>
std::size_t write_block(const Block& block, line_buffer& out, Ends& end) {
  std::size_t ascii_from = 0;
  char* p = out.data.get() + out.size;
  for (std::size_t i = 0; i < block.size(); ++i) {
    const Event& e = block[i];
    const std::size_t need = mjai::max_event_size(e) + 1;
    if (out.capacity - out.size < need) {
      out.grow(out.size + need);
      p = out.data.get() + out.size;
    }
    char* const line = p;
    p = mjai::write_event(p, e);
    if (e.index() == mjai::variant_index<mjai::StartGame>)
      for (const char* c = line; c < p; ++c)
        if (static_cast<unsigned char>(*c) >= 0x80) {
          ascii_from = i + 1;
          break;
        }
    end.push_back(static_cast<std::size_t>(p - out.data.get()));
    *p++ = '\n';
    out.size = static_cast<std::size_t>(p - out.data.get());
  }
  return ascii_from;
}

// Gives back a kyoku's part of the log once its block is written: nothing
// points into it any more, and convert_game_to never looks back, so the
// typed log shrinks as the output grows.
class log_releaser {
 public:
  explicit log_releaser(Log& log) : log_(log) {}
  // After the block-th block (0 is StartGame, 1 the first kyoku).
  void written(std::size_t block) {
    if (block >= 1 && block <= log_.kyokus.size()) log_.kyokus[block - 1] = Kyoku{};
  }

 private:
  Log& log_;
};

// Serializes each block of events as soon as it is complete, so that only
// one kyoku's events exist at a time: they stay in cache, and a long game
// needs no list of all its events beside its text.
class line_writer final : public EventSink {
 public:
  explicit line_writer(Log& log) : release_(log) {
    const std::size_t events = estimated_event_count(log);
    // Most lines are 40-60 bytes; a start_kyoku is about 420.
    text_.grow(events * 56 + log.kyokus.size() * 420 + 256);
    end_.reserve(events);
  }

  Block& block() override { return block_; }

  void done() override {
    const std::size_t before = end_.size();
    if (const std::size_t from = write_block(block_, text_, end_)) ascii_from_ = before + from;
    block_.clear();
    release_.written(blocks_++);
  }

  Lines finish() && { return Lines(std::move(text_.data), text_.size, std::move(end_), ascii_from_); }

 private:
  line_buffer text_;
  std::vector<std::size_t> end_;
  std::size_t ascii_from_ = 0;
  Block block_;
  log_releaser release_;
  std::size_t blocks_ = 0;
};

// Hands each block's lines to a LineSink from one buffer, reused.
class block_writer final : public EventSink {
 public:
  block_writer(Log& log, LineSink& sink) : sink_(sink), release_(log) {
    text_.grow(16 << 10);
    end_.reserve(256);
  }

  Block& block() override { return block_; }

  void done() override {
    if (!stopped_) {
      text_.size = 0;
      end_.clear();
      const std::size_t ascii_from = write_block(block_, text_, end_);
      lines_ += end_.size();
      stopped_ = !sink_.block(LinesView{std::string_view(text_.data.get(), text_.size), end_, ascii_from});
    }
    block_.clear();
    release_.written(blocks_++);
  }

  bool stopped() const noexcept { return stopped_; }
  std::size_t lines() const noexcept { return lines_; }

 private:
  LineSink& sink_;
  line_buffer text_;
  std::vector<std::size_t> end_;
  Block block_;
  log_releaser release_;
  std::size_t blocks_ = 0;
  std::size_t lines_ = 0;
  bool stopped_ = false;
};

// Finds the byte of a value that normalising or converting refused; the
// reader locates its own.
[[gnu::cold]] kifuzan::base::failure<Error> located(Error&& e, const PaddedText& input) {
  PathStep path[4];
  std::size_t n = 0;
  if (e.kind == ErrorKind::three_player) {
    path[n++] = {2, "rule"};
    path[n++] = {0, "disp"};
  } else if (e.kyoku) {
    path[n++] = {0, "log"};
    path[n++] = {static_cast<std::uint32_t>(*e.kyoku), {}};
    std::optional<std::uint32_t> element;
    switch (e.field) {
      case Field::round: element = 0; break;
      case Field::dora: element = 2; break;
      case Field::ura: element = 3; break;
      case Field::haipai: element = 4 + 3 * e.seat.value_or(0); break;
      case Field::takes: element = 5 + 3 * e.seat.value_or(0); break;
      case Field::discards: element = 6 + 3 * e.seat.value_or(0); break;
      case Field::results: element = 16; break;
      default: break;
    }
    if (element) path[n++] = {*element, {}};
    if (element && e.entry) path[n++] = {static_cast<std::uint32_t>(*e.entry), {}};
  }
  // A missing take lies past the end of its list; the list itself is named.
  std::optional<std::size_t> offset = value_offset(input, std::span(path, n));
  if (!offset && n == 4) offset = value_offset(input, std::span(path, 3));
  if (n) e.offset = offset;
  return kifuzan::base::failure{std::move(e)};
}

// The typed log. The document is consumed here, so that what normalise
// leaves of it (its shell and the result lists) is gone on return.
kifuzan::base::result<Log, Error> take_log(RawLog&& raw, const Options& options = {}) {
  RawLog doc = std::move(raw);
  return normalise(std::move(doc), options);
}

kifuzan::base::result<RawLog, Error> parse_for(const PaddedText& input, const Options& options) {
  return options.any_players ? parse_any_players(input) : parse(input);
}

}  // namespace

kifuzan::base::result<Lines, Error> convert_text(const PaddedText& input) {
  auto raw = parse(input);
  if (!raw) return kifuzan::base::failure{std::move(raw).error()};
  auto lines = convert_raw_log(std::move(raw).value());
  if (!lines) return located(std::move(lines).error(), input);
  return lines;
}

kifuzan::base::result<Lines, Error> convert_text(const PaddedText& input, const Options& options) {
  auto raw = parse_for(input, options);
  if (!raw) return kifuzan::base::failure{std::move(raw).error()};
  auto log = take_log(std::move(raw).value(), options);
  if (!log) return located(std::move(log).error(), input);
  line_writer writer(log.value());
  if (auto r = convert_game_to(log.value(), writer); !r) return located(std::move(r).error(), input);
  return std::move(writer).finish();
}

kifuzan::base::result<std::size_t, std::optional<Error>> convert_text_blocks(const PaddedText& input, const Options& options,
                                                                    LineSink& sink) {
  auto raw = parse_for(input, options);
  if (!raw) return kifuzan::base::failure{std::optional<Error>(std::move(raw).error())};
  auto log = take_log(std::move(raw).value(), options);
  if (!log) return kifuzan::base::failure{std::optional<Error>(located(std::move(log).error(), input).error)};
  block_writer writer(log.value(), sink);
  auto converted = convert_game_to(log.value(), writer);
  if (writer.stopped()) return kifuzan::base::failure{std::optional<Error>()};
  if (!converted) return kifuzan::base::failure{std::optional<Error>(located(std::move(converted).error(), input).error)};
  return writer.lines();
}

kifuzan::base::result<Lines, Error> convert_raw_log(RawLog&& raw) { return convert_raw_log(std::move(raw), Options{}); }

kifuzan::base::result<Lines, Error> convert_raw_log(RawLog&& raw, const Options& options) {
  auto log = take_log(std::move(raw), options);
  if (!log) return kifuzan::base::failure{std::move(log).error()};
  // Converting and serializing go kyoku by kyoku; serializing cannot fail,
  // so a conversion failure is still the first and only failure.
  line_writer writer(log.value());
  if (auto r = convert_game_to(log.value(), writer); !r) return kifuzan::base::failure{std::move(r).error()};
  return std::move(writer).finish();
}

kifuzan::base::result<Lines, Stage> tenhou_to_mjai_lines(const PaddedText& input) {
  auto r = convert_text(input);
  if (!r) return kifuzan::base::failure{stage_of(r.error().kind)};
  return std::move(r).value();
}

kifuzan::base::result<std::size_t, Stage> tenhou_to_mjai_blocks(const PaddedText& input, LineSink& sink) {
  auto raw = parse(input);
  if (!raw) return kifuzan::base::failure{Stage::parse};
  auto log = take_log(std::move(raw).value());
  if (!log) return kifuzan::base::failure{stage_of(log.error().kind)};
  block_writer writer(log.value(), sink);
  const auto converted = convert_game_to(log.value(), writer);
  if (writer.stopped()) return kifuzan::base::failure{Stage::serialize};
  if (!converted) return kifuzan::base::failure{Stage::convert};
  return writer.lines();
}

}  // namespace kifuzan::conv
