// The reader: simdjson builds the DOM (syntax, UTF-8, number range, depth),
// then a typed walk checks every value's type, range and length.
#include "kifuzan/conv/document.h"

#include <simdjson.h>

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kifuzan/conv/locate.h"

namespace kifuzan::conv {
namespace {

using simdjson::dom::array;
using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

static_assert(PaddedText::padding >= simdjson::SIMDJSON_PADDING);

// The document's own array or object is level 1.
constexpr std::size_t max_depth = 128;
// The parser's buffers take about 14 bytes per byte of capacity. A parser
// that grew past this for one large input gives them back after the call,
// so a thread keeps at most a few MiB between calls.
constexpr std::size_t retained_capacity = std::size_t{256} << 10;

// By value, so that a range-for over the result does not hold a reference
// into a destroyed simdjson_result.
array as_array(element e) { return e.get_array().value_unsafe(); }
object as_object(element e) { return e.get_object().value_unsafe(); }

std::string_view type_name(element e) {
  switch (e.type()) {
    case element_type::ARRAY: return "sequence";
    case element_type::OBJECT: return "map";
    case element_type::INT64:
    case element_type::UINT64: return "integer";
    case element_type::DOUBLE: return "floating point";
    case element_type::STRING: return "string";
    case element_type::BOOL: return "boolean";
    case element_type::NULL_VALUE: return "null";
  }
  return "value";
}

template <class T>
std::string decimal(T v) {
  char buf[24];
  return std::string(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
}

class document_reader {
 public:
  bool empty_hands = false;  // a starting hand may be []
  Error error;
  // The way from the root to the refused value, innermost first: each level
  // adds its element's (or member's) position on the way out of a failure.
  std::vector<std::uint32_t> path;

  [[gnu::cold]] bool fail(ErrorKind kind, std::string_view expected = {}) {
    error.kind = kind;
    error.expected = expected;
    return false;
  }
  [[gnu::cold]] bool invalid_type(element e, std::string_view expected) {
    error.found = type_name(e);
    return fail(ErrorKind::invalid_type, expected);
  }
  [[gnu::cold]] bool invalid_length(std::size_t n, std::string_view expected) {
    error.count = n;
    return fail(ErrorKind::invalid_length, expected);
  }
  template <class T>
  [[gnu::cold]] bool out_of_range(T v, std::string_view expected) {
    error.text = decimal(v);
    return fail(ErrorKind::out_of_range, expected);
  }
  // False, like fail(), so that `fail(...) || at(i)` and `at(i) || at(j)`
  // record a failure's place, innermost first, in one return.
  [[gnu::cold]] bool at(std::size_t i) {
    path.push_back(static_cast<std::uint32_t>(i));
    return false;
  }

  bool u8(element e, std::uint8_t& out) {
    std::uint64_t v;
    if (e.type() == element_type::UINT64) {
      v = e.get_uint64().value_unsafe();
    } else if (e.type() == element_type::INT64) {
      const std::int64_t i = e.get_int64().value_unsafe();
      if (i < 0) return out_of_range(i, "u8");
      v = static_cast<std::uint64_t>(i);
    } else {
      return invalid_type(e, "u8");
    }
    if (v > 255) return out_of_range(v, "u8");
    out = static_cast<std::uint8_t>(v);
    return true;
  }

  bool i32(element e, std::int32_t& out) {
    std::int64_t v;
    if (e.type() == element_type::INT64) {
      v = e.get_int64().value_unsafe();
    } else if (e.type() == element_type::UINT64) {
      return out_of_range(e.get_uint64().value_unsafe(), "i32");
    } else {
      return invalid_type(e, "i32");
    }
    if (v < INT32_MIN || v > INT32_MAX) return out_of_range(v, "i32");
    out = static_cast<std::int32_t>(v);
    return true;
  }

  bool f64(element e, double& out) {
    switch (e.type()) {
      case element_type::DOUBLE: out = e.get_double().value_unsafe(); return true;
      case element_type::INT64: out = static_cast<double>(e.get_int64().value_unsafe()); return true;
      case element_type::UINT64: out = static_cast<double>(e.get_uint64().value_unsafe()); return true;
      default: return invalid_type(e, "f64");
    }
  }

  bool string(element e, std::string& out) {
    if (e.type() != element_type::STRING) return invalid_type(e, "a string");
    const std::string_view s = e.get_string().value_unsafe();
    out.assign(s.data(), s.size());
    return true;
  }

  bool tile(element e, Tile& out) {
    if (e.type() == element_type::INT64) {  // the usual case, checked inline
      const std::int64_t v = e.get_int64().value_unsafe();
      if (const auto t = mjai::tile_from_code(static_cast<std::uint64_t>(v))) {
        out = *t;
        return true;
      }
    }
    std::uint8_t code = 0;
    if (!u8(e, code)) return false;
    const auto t = mjai::tile_from_code(code);
    if (!t) {
      error.count = code;
      return fail(ErrorKind::invalid_tile_code);
    }
    out = *t;
    return true;
  }

  bool seq(element e, array& out) {
    if (e.type() != element_type::ARRAY) return invalid_type(e, "a sequence");
    out = as_array(e);
    return true;
  }

  // A fixed-length array: exactly n elements, copied into `out`.
  template <std::size_t N>
  bool fixed(element e, std::array<element, N>& out, std::string_view expected_type,
             std::string_view expected_length) {
    if (e.type() != element_type::ARRAY) return invalid_type(e, expected_type);
    std::size_t n = 0;
    for (element x : as_array(e)) {
      if (n == N) {
        error.count = as_array(e).size();
        return fail(ErrorKind::trailing_elements, expected_length) || at(n);
      }
      out[n++] = x;
    }
    if (n != N) return invalid_length(n, expected_length);
    return true;
  }

  template <class T, class F>
  bool vec(element e, std::vector<T>& out, F&& each) {
    array a;
    if (!seq(e, a)) return false;
    out.clear();
    out.reserve(a.size());
    std::uint32_t i = 0;
    for (element x : a) {
      out.emplace_back();
      if (!each(x, out.back())) return at(i);
      ++i;
    }
    return true;
  }

  bool tiles(element e, std::vector<Tile>& out) {
    return vec(e, out, [this](element x, Tile& t) { return tile(x, t); });
  }
  bool strings(element e, std::vector<std::string>& out) {
    return vec(e, out, [this](element x, std::string& s) { return string(x, s); });
  }

  bool action_item(element e, ActionItem& out) {
    if (e.type() == element_type::INT64) {
      const std::int64_t i = e.get_int64().value_unsafe();
      if (const auto t = mjai::tile_from_code(static_cast<std::uint64_t>(i))) {
        out.kind = ActionItem::Kind::tile;
        out.value = t->id;
        return true;
      }
    }
    std::uint8_t v = 0;
    switch (e.type()) {
      case element_type::INT64:
      case element_type::UINT64:
        if (!u8(e, v)) break;
        if (const auto t = mjai::tile_from_code(v)) {
          out.kind = ActionItem::Kind::tile;
          out.value = t->id;
        } else {
          out.kind = ActionItem::Kind::number;
          out.value = v;
        }
        return true;
      case element_type::STRING:
        out.kind = ActionItem::Kind::text;
        return string(e, out.text);
      default: break;
    }
    if (error.text.empty()) error.found = type_name(e);
    return fail(ErrorKind::no_variant, "ActionItem");
  }

  static JsonItem json_item(element e) {
    JsonItem j;
    switch (e.type()) {
      case element_type::NULL_VALUE: j.kind = JsonItem::Kind::null; break;
      case element_type::BOOL: j.kind = JsonItem::Kind::boolean; break;
      case element_type::INT64:
        j.kind = JsonItem::Kind::int64;
        j.i = e.get_int64().value_unsafe();
        break;
      case element_type::UINT64:
        j.kind = JsonItem::Kind::uint64;
        j.u = e.get_uint64().value_unsafe();
        break;
      case element_type::DOUBLE:
        j.kind = JsonItem::Kind::float64;
        j.f = e.get_double().value_unsafe();
        break;
      case element_type::STRING: j.kind = JsonItem::Kind::string; break;
      case element_type::ARRAY: j.kind = JsonItem::Kind::array; break;
      case element_type::OBJECT: j.kind = JsonItem::Kind::object; break;
    }
    return j;
  }

  bool result_item(element e, ResultItem& out) {
    if (e.type() == element_type::STRING) {
      out.emplace<std::string>(e.get_string().value_unsafe());
      return true;
    }
    if (e.type() != element_type::ARRAY) {
      error.found = type_name(e);
      return fail(ErrorKind::no_variant, "ResultItem");
    }
    const array a = as_array(e);
    // Deltas: exactly four integers within i32.
    Deltas d{};
    std::size_t n = 0;
    bool deltas = true;
    for (element x : a) {
      if (n == 4 || x.type() != element_type::INT64) {
        deltas = false;
        break;
      }
      const std::int64_t v = x.get_int64().value_unsafe();
      if (v < INT32_MIN || v > INT32_MAX) {
        deltas = false;
        break;
      }
      d[n++] = static_cast<std::int32_t>(v);
    }
    if (deltas && n == 4) {
      out = d;
      return true;
    }
    auto& items = out.emplace<std::vector<JsonItem>>();
    items.reserve(a.size());
    for (element x : a) items.push_back(json_item(x));
    return true;
  }

  bool kyoku_entry(element e, KyokuEntry& k) {
    std::array<element, 17> f;
    if (!fixed(e, f, "tuple struct Inner", "tuple struct Inner with 17 elements")) return false;
    std::array<element, 3> triple;
    if (!fixed(f[0], triple, "tuple struct Inner", "tuple struct Inner with 3 elements")) return at(0);
    if (!u8(triple[0], k.round)) return at(0) || at(0);
    if (!u8(triple[1], k.honba)) return at(1) || at(0);
    if (!u8(triple[2], k.kyotaku)) return at(2) || at(0);
    std::array<element, 4> scores;
    if (!fixed(f[1], scores, "an array of length 4", "an array of length 4")) return at(1);
    for (std::size_t i = 0; i < 4; ++i)
      if (!i32(scores[i], k.scores[i])) return at(i) || at(1);
    if (!tiles(f[2], k.dora_indicators)) return at(2);
    if (!tiles(f[3], k.ura_indicators)) return at(3);
    for (std::size_t s = 0; s < 4; ++s) {
      SeatActions& seat = k.seats[s];
      std::array<element, 13> hand;
      if (!fixed(f[4 + 3 * s], hand, "an array of size 13", "an array of size 13")) {
        if (!(empty_hands && error.kind == ErrorKind::invalid_length && error.count == 0)) return at(4 + 3 * s);
        error = Error{};
        k.no_hand |= static_cast<std::uint8_t>(1u << s);
      } else {
        for (std::size_t i = 0; i < 13; ++i)
          if (!tile(hand[i], k.haipai[s][i])) return at(i) || at(4 + 3 * s);
      }
      auto item = [this](element x, ActionItem& a) { return action_item(x, a); };
      if (!vec(f[5 + 3 * s], seat.takes, item)) return at(5 + 3 * s);
      if (!vec(f[6 + 3 * s], seat.discards, item)) return at(6 + 3 * s);
    }
    if (!vec(f[16], k.results, [this](element x, ResultItem& r) { return result_item(x, r); })) return at(16);
    return true;
  }

  bool log(element e, std::vector<KyokuEntry>& out) {
    return vec(e, out, [this](element x, KyokuEntry& k) { return kyoku_entry(x, k); });
  }

  bool names(element e, std::array<std::string, 4>& out) {
    std::array<element, 4> f;
    if (!fixed(e, f, "an array of length 4", "an array of length 4")) return false;
    for (std::size_t i = 0; i < 4; ++i)
      if (!string(f[i], out[i])) return at(i);
    return true;
  }

  bool rule(element e, Rule& r) {
    if (e.type() == element_type::ARRAY) {
      std::size_t n = 0;
      for (element x : as_array(e)) {
        bool ok;
        switch (n) {
          case 0: ok = string(x, r.disp); break;
          case 1: ok = u8(x, r.aka); break;
          case 2: ok = u8(x, r.aka51); break;
          case 3: ok = u8(x, r.aka52); break;
          case 4: ok = u8(x, r.aka53); break;
          default:
            error.count = as_array(e).size();
            return fail(ErrorKind::trailing_elements, "struct Rule with 5 elements") || at(n);
        }
        if (!ok) return at(n);
        ++n;
      }
      return true;
    }
    if (e.type() != element_type::OBJECT) return invalid_type(e, "struct Rule");
    unsigned seen = 0;
    std::uint32_t m = 0;
    for (auto field : as_object(e)) {
      const std::uint32_t member = m++;
      const std::string_view k = field.key;
      int idx = k == "disp" ? 0 : k == "aka" ? 1 : k == "aka51" ? 2 : k == "aka52" ? 3 : k == "aka53" ? 4 : -1;
      if (idx < 0) continue;
      if (seen & (1u << idx)) {
        error.text = k;
        return fail(ErrorKind::duplicate_field) || at(member);
      }
      seen |= 1u << idx;
      bool ok = idx == 0   ? string(field.value, r.disp)
                : idx == 1 ? u8(field.value, r.aka)
                : idx == 2 ? u8(field.value, r.aka51)
                : idx == 3 ? u8(field.value, r.aka52)
                           : u8(field.value, r.aka53);
      if (!ok) return at(member);
    }
    return true;
  }

  // The five optional fields; null means absent.
  template <class T, class F>
  bool optional(element e, std::optional<T>& out, F&& read) {
    if (e.type() == element_type::NULL_VALUE) {
      out.reset();
      return true;
    }
    return read(e, out.emplace());
  }

  bool optional_field(int idx, element e, RawLog& raw) {
    switch (idx) {
      case 3: return optional(e, raw.ratingc, [this](element x, std::string& s) { return string(x, s); });
      case 4: return optional(e, raw.lobby, [this](element x, std::int32_t& v) { return i32(x, v); });
      case 5: return optional(e, raw.dan, [this](element x, std::vector<std::string>& v) { return strings(x, v); });
      case 6:
        return optional(e, raw.rate, [this](element x, std::vector<double>& v) {
          return vec(x, v, [this](element y, double& d) {
            // Mahjong Soul's three-player exports rate the absent seat "".
            if (empty_hands && y.type() == element_type::STRING && y.get_string().value_unsafe().empty()) return true;
            return f64(y, d);
          });
        });
      default: return optional(e, raw.sx, [this](element x, std::vector<std::string>& v) { return strings(x, v); });
    }
  }

  bool field(int idx, element e, RawLog& raw) {
    switch (idx) {
      case 0: return log(e, raw.log);
      case 1: return names(e, raw.name);
      case 2: return rule(e, raw.rule);
      default: return optional_field(idx, e, raw);
    }
  }

  // The log object's keys, in the order of the array form.
  static constexpr std::string_view keys[] = {"log", "name", "rule", "ratingc", "lobby", "dan", "rate", "sx"};

  [[gnu::cold]] bool in_field(int idx, std::size_t position) {
    error.field = static_cast<Field>(static_cast<int>(Field::log) + idx);
    return at(position);
  }

  static int key_index(std::string_view k) {
    for (int i = 0; i < 8; ++i)
      if (k == keys[i]) return i;
    return -1;
  }

  bool document(element root, RawLog& raw) {
    if (root.type() == element_type::ARRAY) {
      std::size_t n = 0;
      for (element x : as_array(root)) {
        if (n == 8) {
          error.count = as_array(root).size();
          return fail(ErrorKind::trailing_elements, "struct RawLog with 8 elements") || at(n);
        }
        if (!field(static_cast<int>(n), x, raw)) return in_field(static_cast<int>(n), n);
        ++n;
      }
      if (n != 8) return invalid_length(n, "struct RawLog with 8 elements");
      return true;
    }
    if (root.type() != element_type::OBJECT) return invalid_type(root, "struct RawLog");
    unsigned seen = 0;
    std::uint32_t m = 0;
    for (auto f : as_object(root)) {
      const std::uint32_t member = m++;
      const int idx = key_index(f.key);
      if (idx < 0) continue;
      if (seen & (1u << idx)) {
        error.text = keys[idx];
        return fail(ErrorKind::duplicate_field) || in_field(idx, member);
      }
      seen |= 1u << idx;
      if (!field(idx, f.value, raw)) return in_field(idx, member);
    }
    for (int i = 0; i < 3; ++i)
      if (!(seen & (1u << i))) {
        error.text = keys[i];
        return fail(ErrorKind::missing_field);
      }
    return true;
  }
};

// One parser per thread, reused: it keeps its buffers between parses, which
// saves their allocation on every call for records of the usual size.
class parser_lease {
 public:
  parser_lease() {
    static thread_local simdjson::dom::parser p;
    p_ = &p;
  }
  parser_lease(const parser_lease&) = delete;
  parser_lease& operator=(const parser_lease&) = delete;
  // On every way out, success or failure.
  ~parser_lease() {
    if (p_->capacity() > retained_capacity) *p_ = simdjson::dom::parser{};
  }
  simdjson::dom::parser& operator*() const { return *p_; }

 private:
  simdjson::dom::parser* p_;
};

[[gnu::cold]] Error json_error(simdjson::error_code code, const PaddedText& text) {
  Error e;
  e.kind = ErrorKind::json;
  e.json_code = static_cast<std::uint8_t>(code);
  e.offset = json_error_offset(text, static_cast<int>(code));
  return e;
}

// Names the kyoku, seat and entry of a refused value from its path, and
// finds its byte in the text.
[[gnu::cold]] Error located(document_reader&& r, const RawLog& raw, const PaddedText& text) {
  Error e = std::move(r.error);
  std::vector<PathStep> path;
  for (auto i = r.path.rbegin(); i != r.path.rend(); ++i) path.push_back(PathStep{*i, {}});
  if (e.kind != ErrorKind::missing_field) e.offset = value_offset(text, path);
  const auto step = [&](std::size_t i) -> std::optional<std::size_t> {
    if (i < path.size()) return path[i].index;
    return std::nullopt;
  };
  switch (e.field) {
    case Field::log: {
      e.kyoku = step(1);
      const auto j = step(2);
      if (!e.kyoku || !j) break;
      if (*j > 0 && *e.kyoku < raw.log.size()) {
        e.round = raw.log[*e.kyoku].round;
        e.honba = raw.log[*e.kyoku].honba;
      }
      e.entry = step(3);
      if (*j < 4) {
        constexpr Field fields[] = {Field::round, Field::scores, Field::dora, Field::ura};
        e.field = fields[*j];
      } else if (*j < 16) {
        constexpr Field fields[] = {Field::haipai, Field::takes, Field::discards};
        e.field = fields[(*j - 4) % 3];
        e.seat = static_cast<mjai::Seat>((*j - 4) / 3);
      } else if (*j == 16) {
        e.field = Field::results;
      } else {
        e.field = Field::none;  // past the kyoku's 17 elements
        e.entry.reset();
      }
      break;
    }
    case Field::name:
    case Field::dan:
    case Field::rate:
    case Field::sx: e.entry = step(1); break;
    default: break;
  }
  return e;
}

}  // namespace

namespace {

kifuzan::base::result<RawLog, Error> parse_with(const PaddedText& text, bool empty_hands) {
  const parser_lease lease;
  simdjson::dom::parser& p = *lease;
  if (p.max_depth() != max_depth) {
    if (auto err = p.allocate(std::max<std::size_t>(text.size(), 4096), max_depth))
      return kifuzan::base::failure{json_error(err, text)};
  }
  // simdjson skips a leading byte-order mark since 3.x; JSON text has none,
  // so it is refused as the structural error it used to be, at its first byte.
  if (text.view().starts_with("\xEF\xBB\xBF")) {
    Error e;
    e.kind = ErrorKind::json;
    e.json_code = static_cast<std::uint8_t>(simdjson::TAPE_ERROR);
    e.offset = 0;
    return kifuzan::base::failure{std::move(e)};
  }
  element root;
  if (auto err = p.parse(text.data(), text.size(), false).get(root)) return kifuzan::base::failure{json_error(err, text)};
  document_reader r;
  r.empty_hands = empty_hands;
  RawLog raw;
  if (!r.document(root, raw)) return kifuzan::base::failure{located(std::move(r), raw, text)};
  return raw;
}

}  // namespace

kifuzan::base::result<RawLog, Error> parse(const PaddedText& text) { return parse_with(text, false); }
kifuzan::base::result<RawLog, Error> parse_any_players(const PaddedText& text) { return parse_with(text, true); }

}  // namespace kifuzan::conv
