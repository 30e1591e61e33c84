#include "kifuzan/conv/pipeline.h"

#include <simdjson.h>

#include <cstring>

#include "kifuzan/conv/convert.h"
#include "kifuzan/conv/document.h"
#include "kifuzan/conv/log.h"
#include "mjai/json_writer.h"

namespace kifuzan::conv {

mjai::result<Lines, Stage> tenhou_to_mjai_lines(const PaddedText& input) {
  auto raw = parse(input);
  if (!raw) return mjai::failure{Stage::parse};
  auto log = normalise(std::move(raw).value());
  if (!log) return mjai::failure{Stage::normalise};
  auto events = convert_game(log.value());
  if (!events) return mjai::failure{Stage::convert};

  const std::vector<Event>& ev = events.value();
  Lines lines;
  // Most lines are 40-60 bytes; a start_kyoku is about 400.
  lines.text.reserve(ev.size() * 56 + log.value().kyokus.size() * 400 + 256);
  lines.end.reserve(ev.size());
  lines.ascii.reserve(ev.size());
  for (const Event& e : ev) {
    const std::size_t begin = lines.text.size();
    mjai::write_event(lines.text, e);
    // Only player names can carry non-ASCII text.
    bool ascii = true;
    if (std::holds_alternative<mjai::StartGame>(e))
      for (std::size_t i = begin; i < lines.text.size(); ++i)
        if (static_cast<unsigned char>(lines.text[i]) >= 0x80) {
          ascii = false;
          break;
        }
    lines.end.push_back(lines.text.size());
    lines.ascii.push_back(ascii);
    lines.text.push_back('\n');
  }
  return lines;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace kifuzan::conv
