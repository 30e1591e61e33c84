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

void kyoku_place(sentence& s, std::size_t kyoku, std::optional<std::uint8_t> round, std::uint64_t honba) {
  s << "kyoku " << std::uint64_t{kyoku};
  if (round) {
    constexpr std::string_view winds[] = {"East", "South", "West", "North"};
    const std::uint8_t r = *round;
    s << " (" << winds[r < 12 ? r / 4 : 3] << ' ' << std::uint64_t{r % 4u + 1u} << ", " << honba << " honba)";
  }
}

void location(sentence& s, const Error& e) {
  if (e.kyoku) kyoku_place(s, *e.kyoku, e.round, e.honba.value_or(0));
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

// The JSON type the reader found, as a record's reader would say it.
std::string_view json_type_words(std::string_view found) {
  if (found == "sequence") return "a list";
  if (found == "map") return "an object";
  if (found == "integer") return "a whole number";
  if (found == "floating point") return "a decimal number";
  if (found == "string") return "a string";
  if (found == "boolean") return "true or false";
  if (found == "null") return "null";
  return "another kind of value";
}

bool is_tile_field(Field f) { return f == Field::dora || f == Field::ura || f == Field::haipai; }

// One entry of `e.field`'s list ("a score"), or the place itself where the
// error is not about an entry ("the score list", "the kyoku", "\"rule\"").
struct Subject {
  std::string_view entry, whole;
};

Subject subject_of(const Error& e) {
  switch (e.field) {
    case Field::round:
      if (e.entry && *e.entry < 3) {
        constexpr std::string_view items[] = {"the round number", "the honba count", "the riichi stick count"};
        return {items[*e.entry], "the round entry"};
      }
      return {"the round entry", "the round entry"};
    case Field::scores: return {"a score", "the score list"};
    case Field::dora: return {"a dora indicator", "the dora indicators"};
    case Field::ura: return {"an ura indicator", "the ura indicators"};
    case Field::haipai: return {"a starting tile", "the starting hand"};
    case Field::takes: return {"a take entry", "the take list"};
    case Field::discards: return {"a discard entry", "the discard list"};
    case Field::results: return {"a result entry", "the result list"};
    case Field::log: return e.kyoku ? Subject{"the kyoku", "the kyoku"} : Subject{"a kyoku", "\"log\""};
    case Field::name: return {"a player name", "\"name\""};
    case Field::rule: return {"a rule value", "\"rule\""};
    case Field::ratingc: return {"\"ratingc\"", "\"ratingc\""};
    case Field::lobby: return {"\"lobby\"", "\"lobby\""};
    case Field::dan: return {"a rank in \"dan\"", "\"dan\""};
    case Field::rate: return {"a rating in \"rate\"", "\"rate\""};
    case Field::sx: return {"an entry of \"sx\"", "\"sx\""};
    case Field::none: break;
  }
  if (e.kyoku) return {"the kyoku", "the kyoku"};
  // After "the document at byte 0: ", the document is "it".
  return e.offset ? Subject{"it", "it"} : Subject{"the document", "the document"};
}

// How many entries a list of fixed length has, what they are called, and
// the rule that says so ("a kyoku has 17").
struct Length {
  std::uint64_t count;
  std::string_view noun, rule;
};

Length fixed_length(const Error& e) {
  switch (e.field) {
    case Field::round: return {3, "numbers", "a round entry has 3: round, honba and riichi sticks"};
    case Field::scores: return {4, "scores", "a score list has 4"};
    case Field::haipai: return {13, "tiles", "a starting hand has 13"};
    case Field::name: return {4, "names", "it must have 4"};
    case Field::rule: return {5, "entries", "it has at most 5"};
    default:
      if (e.kyoku) return {17, "entries", "a kyoku has 17"};
      return {8, "entries", "a document written as a list has 8"};
  }
}

// What the reader wanted where it found a value of another type.
void wanted(sentence& s, const Error& e, bool whole) {
  const std::string_view x = e.expected;
  if (x == "u8") {
    s << (is_tile_field(e.field) ? "a tile code" : "a whole number from 0 to 255");
  } else if (x == "i32") {
    s << "a whole number from -2147483648 to 2147483647";
  } else if (x == "f64") {
    s << "a number";
  } else if (x == "a string") {
    s << "a string";
  } else if (x == "a sequence") {
    s << "a list";
  } else if (whole && e.field == Field::rule) {
    s << "an object or a list";
  } else if (whole && e.field == Field::none && !e.kyoku) {
    s << "an object with \"log\", \"name\" and \"rule\", or a list of 8 entries";
  } else {
    const Length n = fixed_length(e);
    s << "a list of " << n.count << ' ' << n.noun;
  }
}

// Whether the refused value is the place itself (a list or an object) rather
// than one entry of it: only entries are scalars.
bool about_whole(const Error& e) {
  const std::string_view x = e.expected;
  return !(x == "u8" || x == "i32" || x == "f64" || x == "a string");
}

void tile_codes(sentence& s) {
  s << "tile codes are 11-19, 21-29 and 31-39 for the suits, 41-47 for the honours, 51-53 for the red fives "
       "and 0 for a hidden tile";
}

void detail(sentence& s, const Error& e) {
  const Subject subject = subject_of(e);
  switch (e.kind) {
    case ErrorKind::json:
    case ErrorKind::mjlog: break;  // whole sentence made by describe
    case ErrorKind::invalid_type: {
      const bool whole = about_whole(e);
      s << (whole ? subject.whole : subject.entry) << " must be ";
      wanted(s, e, whole);
      s << ", not " << json_type_words(e.found);
      break;
    }
    case ErrorKind::invalid_length:
    case ErrorKind::trailing_elements: {
      const Length n = fixed_length(e);
      s << subject.whole << " has " << e.count;
      // "1 entry", "3 entries"
      std::string_view noun = n.noun;
      if (e.count == 1) noun = noun == "entries" ? "entry" : noun.substr(0, noun.size() - 1);
      s << ' ' << noun << "; " << n.rule;
      break;
    }
    case ErrorKind::out_of_range:
      if (is_tile_field(e.field)) {
        s << e.text << " is not a tile code: ";
        tile_codes(s);
      } else {
        // "a score" -> "the score 2147483648 is out of range"
        std::string_view what = subject.entry;
        if (what.starts_with("a ")) {
          what.remove_prefix(2);
          s << "the ";
        }
        s << what << ' ' << e.text << " is out of range: it must be ";
        wanted(s, e, false);
      }
      break;
    case ErrorKind::invalid_tile_code:
      s << e.count << " is not a tile code: ";
      tile_codes(s);
      break;
    case ErrorKind::no_variant:
      if (e.field == Field::results)
        s << "a result entry must be a string or a list";
      else if (e.field == Field::discards)
        s << "a discard entry must be a tile code, 60 or a riichi or kan text";
      else
        s << subject.entry << " must be a tile code or a call text";
      if (!e.text.empty())
        s << ", not " << e.text;
      else if (!e.found.empty())
        s << ", not " << json_type_words(e.found);
      break;
    case ErrorKind::duplicate_field: s.quoted(e.text) << " appears twice"; break;
    case ErrorKind::missing_field:
      s << "the document has no ";
      s.quoted(e.text) << "; it needs \"log\", \"name\" and \"rule\"";
      break;
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

Error mjlog_error(std::string sentence) {
  Error e;
  e.kind = ErrorKind::mjlog;
  e.text = std::move(sentence);
  return e;
}

std::string describe(const Error& e) {
  if (e.kind == ErrorKind::mjlog) return e.text;
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

std::string kyoku_name(std::size_t kyoku, std::optional<std::uint8_t> round, std::uint64_t honba) {
  sentence s;
  kyoku_place(s, kyoku, round, honba);
  return std::move(s).take();
}

}  // namespace kifuzan::conv
