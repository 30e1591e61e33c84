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
  std::size_t bound = 0;
  for (const Event& e : ev) bound += mjai::max_event_size(e) + 1;
  Lines lines;
  lines.buffer.reset(new char[bound]);
  lines.end.reserve(ev.size());
  lines.ascii.reserve(ev.size());
  char* const begin = lines.buffer.get();
  char* p = begin;
  for (const Event& e : ev) {
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
    lines.end.push_back(static_cast<std::size_t>(p - begin));
    lines.ascii.push_back(ascii);
    *p++ = '\n';
  }
  lines.text = std::string_view(begin, static_cast<std::size_t>(p - begin));
  return lines;
}

bool is_valid_utf8(std::string_view bytes) noexcept {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

}  // namespace kifuzan::conv
