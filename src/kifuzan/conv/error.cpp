#include "kifuzan/conv/error.h"

#include <simdjson.h>

#include <charconv>

namespace kifuzan::conv {
namespace {

// Appends pieces to one string; numbers through to_chars.
class sentence {
 public:
  sentence& operator<<(std::string_view s) {
    s_.append(s);
    return *this;
  }
  sentence& operator<<(char c) {
    s_.push_back(c);
    return *this;
  }
  sentence& operator<<(std::uint64_t v) {
    char buf[24];
    s_.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    return *this;
  }
  sentence& quoted(std::string_view s) { return *this << '"' << s << '"'; }
  // Before each part of a location but the first.
  sentence& part() { return s_.empty() ? *this : *this << ", "; }
  bool empty() const { return s_.empty(); }
  std::string take() && { return std::move(s_); }

 private:
  std::string s_;
};

std::string_view key_name(Field f) {
  constexpr std::string_view names[] = {"log", "name", "rule", "ratingc", "lobby", "dan", "rate", "sx"};
  const auto i = static_cast<std::size_t>(f) - static_cast<std::size_t>(Field::log);
  return i < std::size(names) ? names[i] : std::string_view();
}

// What one entry, and the whole list, of a kyoku element is called.
struct Names {
  std::string_view entry, list;
};

Names kyoku_element_names(Field f) {
  switch (f) {
    case Field::round: return {"round item", "round triple"};
    case Field::scores: return {"score", "scores"};
    case Field::dora: return {"dora indicator", "dora indicators"};
    case Field::ura: return {"ura indicator", "ura indicators"};
    case Field::haipai: return {"starting tile", "starting hand"};
    case Field::takes: return {"take", "take list"};
    case Field::discards: return {"discard", "discard list"};
    case Field::results: return {"result item", "result list"};
    default: return {};
  }
}

void location(sentence& s, const Error& e) {
  if (e.kyoku) {
    s << "kyoku " << std::uint64_t{*e.kyoku};
    if (e.round) {
      constexpr std::string_view winds[] = {"East", "South", "West", "North"};
      const std::uint8_t r = *e.round;
      s << " (" << winds[r < 12 ? r / 4 : 3] << ' ' << std::uint64_t{r % 4u + 1u} << ", "
        << std::uint64_t{e.honba.value_or(0)} << " honba)";
    }
  }
  if (e.seat) s.part() << "seat " << std::uint64_t{*e.seat};
  if (const Names n = kyoku_element_names(e.field); !n.entry.empty()) {
    s.part();
    if (e.entry)
      s << n.entry << ' ' << std::uint64_t{*e.entry};
    else
      s << n.list;
  } else if (const std::string_view key = key_name(e.field); !key.empty() && !e.kyoku) {
    s.part() << "key ";
    s.quoted(key);
    if (e.entry) s << " item " << std::uint64_t{*e.entry};
  }
  if (e.offset) (s.empty() ? s << "the document" : s) << " at byte " << std::uint64_t{*e.offset};
}

// simdjson's own text, as the tail of a sentence: without its code name
// ("TAPE_ERROR: ") and closing remark, lower case, no full stop.
std::string json_message(std::uint8_t code) {
  std::string m = simdjson::error_message(static_cast<simdjson::error_code>(code));
  if (const auto colon = m.find(": "); colon != std::string::npos &&
      m.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == colon)
    m.erase(0, colon + 2);
  if (const auto tail = m.find(" This is a fatal and unrecoverable error"); tail != std::string::npos) m.erase(tail);
  if (!m.empty() && m[0] >= 'A' && m[0] <= 'Z' && !(m.size() > 1 && m[1] >= 'A' && m[1] <= 'Z')) m[0] += 'a' - 'A';
  while (!m.empty() && (m.back() == '.' || m.back() == ' ')) m.pop_back();
  return m;
}

void detail(sentence& s, const Error& e) {
  switch (e.kind) {
    case ErrorKind::json: break;  // whole sentence made by describe
    case ErrorKind::invalid_type: s << "invalid type: " << e.found << ", expected " << e.expected; break;
    case ErrorKind::invalid_length: s << "invalid length " << e.count << ", expected " << e.expected; break;
    case ErrorKind::trailing_elements: s << "trailing elements, expected " << e.expected; break;
    case ErrorKind::out_of_range: s << "invalid value: integer `" << e.text << "`, expected " << e.expected; break;
    case ErrorKind::invalid_tile_code: s << mjai::invalid_tile_code_message(static_cast<unsigned>(e.count)); break;
    case ErrorKind::no_variant: s << "data did not match any variant of untagged enum " << e.expected; break;
    case ErrorKind::duplicate_field: s.quoted(e.text) << " appears twice"; break;
    case ErrorKind::missing_field: s << "missing key "; s.quoted(e.text); break;
    case ErrorKind::three_player: break;
    case ErrorKind::malformed_win: s << "a win's details lack the winner and source seat numbers"; break;
    case ErrorKind::invalid_action_item:
      if (e.field == Field::takes) {
        s << "call text ";
        s.quoted(e.text) << " fits no call";
      } else {
        s << "text ";
        s.quoted(e.text) << " fits no kan or riichi form";
      }
      break;
    case ErrorKind::invalid_tile_text:
      s.quoted(e.text) << " in ";
      s.quoted(e.item) << " is not a tile code";
      break;
    case ErrorKind::number_in_take_list:
      s << "the number " << e.text << " is not a tile, and a take must be one";
      break;
    case ErrorKind::missing_dora_marker:
      if (e.field == Field::dora)
        s << "the list is empty, and a kyoku starts with one";
      else
        s << "a kan's dora indicator is due and none is left";
      break;
    case ErrorKind::missing_take: s << "the seat is due to take and its take list has run out"; break;
    case ErrorKind::call_mismatch:
      s << "call text ";
      s.quoted(e.text) << " does not fit the last discard (";
      if (e.last_discarder)
        s << mjai::tile_name(e.last_tile) << " by seat " << std::uint64_t{*e.last_discarder} << ')';
      else
        s << "there is none yet)";
      break;
    case ErrorKind::reach_without_discard: s << "a riichi declaration ends the discard list"; break;
    case ErrorKind::missing_hand: s << "no tiles, and the seat plays in this record"; break;
    case ErrorKind::hand_for_absent_seat: s << "a hand for seat 3, which a three-player record leaves empty"; break;
    case ErrorKind::absent_seat:
      s << (e.field == Field::round    ? "the absent seat 3 would deal"
            : e.field == Field::results ? "the absent seat 3 would win or pay"
                                        : "the absent seat 3 has entries");
      break;
    case ErrorKind::kita_not_north:
      s << "kita ";
      s.quoted(e.text) << " sets aside a tile other than North";
      break;
    case ErrorKind::kita_without_north: s << "a kita by a seat that holds no North"; break;
    case ErrorKind::kita_in_four_player:
      s << "kita ";
      s.quoted(e.text) << " in a four-player record";
      break;
    case ErrorKind::absent_tile:
      s << e.text << " is not a tile of a three-player game";
      if (!e.item.empty()) {
        s << " (in ";
        s.quoted(e.item) << ')';
      }
      break;
  }
}

}  // namespace

Stage stage_of(ErrorKind kind) noexcept {
  if (kind <= ErrorKind::missing_hand) return Stage::parse;
  if (kind <= ErrorKind::absent_seat) return Stage::normalise;
  return Stage::convert;
}

std::string describe(const Error& e) {
  sentence s;
  if (e.kind == ErrorKind::json) {
    s << "JSON syntax error";
    if (e.offset) s << " at byte " << std::uint64_t{*e.offset};
    s << ": " << json_message(e.json_code);
    return std::move(s).take();
  }
  if (e.kind == ErrorKind::three_player) {
    s << "three-player records are not supported (rule text ";
    s.quoted(e.text);
    if (e.offset) s << " at byte " << std::uint64_t{*e.offset};
    s << ')';
    return std::move(s).take();
  }
  location(s, e);
  if (!s.empty()) s << ": ";
  detail(s, e);
  return std::move(s).take();
}

}  // namespace kifuzan::conv
