// The mjlog reader: one pass over the elements of <mjloggm> in record order
// fills the document, as tenhou's service does. The elements come straight
// from the text when it has the flat form tenhou writes, else from pugixml's
// tree, which also words every refusal.
#include <pugixml.hpp>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <system_error>
#include <utility>

#include "base/utf8.h"
#include "kifuzan/mjlog/document.h"
#include "kifuzan/mjlog/reader.h"

namespace kifuzan::mjlog {
namespace {

using namespace std::string_view_literals;

// No DTD, no entities but the predefined five and character references, no
// end-of-line or whitespace rewriting (nothing here depends on them), and the
// DOCTYPE node kept only so that it can be refused.
constexpr unsigned parse_flags = pugi::parse_escapes | pugi::parse_doctype;

// GO type bits.
constexpr unsigned go_no_red = 0x02, go_no_kuitan = 0x04, go_south = 0x08, go_sanma = 0x10,
                   go_level2 = 0x20, go_fast = 0x40, go_level1 = 0x80;

constexpr std::string_view level_names[] = {"般", "上", "特", "鳳"};

constexpr std::string_view dan_names[] = {
    "新人", "９級", "８級", "７級", "６級", "５級", "４級", "３級", "２級", "１級", "初段",
    "二段", "三段", "四段", "五段", "六段", "七段", "八段", "九段", "十段", "天鳳"};

constexpr std::string_view yaku_names[] = {
    "門前清自摸和", "立直", "一発", "槍槓", "嶺上開花", "海底摸月", "河底撈魚", "平和", "断幺九",
    "一盃口", "自風 東", "自風 南", "自風 西", "自風 北", "場風 東", "場風 南", "場風 西",
    "場風 北", "役牌 白", "役牌 發", "役牌 中", "両立直", "七対子", "混全帯幺九", "一気通貫",
    "三色同順", "三色同刻", "三槓子", "対々和", "三暗刻", "小三元", "混老頭", "二盃口",
    "純全帯幺九", "混一色", "清一色", "人和", "天和", "地和", "大三元", "四暗刻", "四暗刻単騎",
    "字一色", "緑一色", "清老頭", "九蓮宝燈", "純正九蓮宝燈", "国士無双", "国士無双１３面",
    "大四喜", "小四喜", "四槓子", "ドラ", "裏ドラ", "赤ドラ"};
constexpr std::size_t yaku_count = std::size(yaku_names);

constexpr std::string_view limit_names[] = {"", "満貫", "跳満", "倍満", "三倍満", "役満"};

constexpr std::int32_t max_hundreds = INT32_MAX / 100;  // values written ×100 stay i32

// "%E5%BC%8F" -> UTF-8 bytes; false on a broken escape.
bool percent_decode(std::string_view s, std::string& out) {
  out.clear();
  out.reserve(s.size() / 3 + 1);
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return false;
    const int hi = hex(s[i + 1]), lo = hex(s[i + 2]);
    if (hi < 0 || lo < 0) return false;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return true;
}

void append_number(std::string& out, std::int64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// A tile id's code: man 11-19, pin 21-29, sou 31-39, honours 41-47; with
// red fives, ids 16, 52 and 88 are 51, 52, 53. One table per rule.
constexpr auto code_tables = [] {
  std::array<std::array<std::uint8_t, 136>, 2> t{};
  for (unsigned red = 0; red < 2; ++red)
    for (unsigned id = 0; id < 136; ++id) {
      const unsigned k = id / 4;
      t[red][id] = static_cast<std::uint8_t>(k < 27 ? (k / 9 + 1) * 10 + k % 9 + 1 : 41 + (k - 27));
      if (red && (id == 16 || id == 52 || id == 88)) t[red][id] = static_cast<std::uint8_t>(51 + id / 36);
    }
  return t;
}();

inline std::uint8_t tile_code(unsigned id, bool red) { return code_tables[red][id]; }

// Sort key: by kind, a red five after the plain fives of its suit.
inline unsigned sort_key(unsigned id, bool red) {
  return (id / 4) * 2 + (red && (id == 16 || id == 52 || id == 88) ? 1 : 0);
}

// A tile id's place in a sorted hand: its id, except that with red fives
// each red five trades places with the last plain copy of its kind (same
// code as the other plain copies). Its own inverse.
constexpr auto hand_places = [] {
  std::array<std::array<std::uint8_t, 136>, 2> t{};
  for (unsigned red = 0; red < 2; ++red)
    for (unsigned id = 0; id < 136; ++id) t[red][id] = static_cast<std::uint8_t>(id);
  for (unsigned five : {16u, 52u, 88u}) {
    t[1][five] = static_cast<std::uint8_t>(five + 3);
    t[1][five + 3] = static_cast<std::uint8_t>(five);
  }
  return t;
}();

// T U V W draw, D E F G discard, for seats 0-3; 0xFF for any other letter.
constexpr auto seat_letters = [] {
  std::array<std::uint8_t, 256> t{};
  t.fill(0xFF);
  const char letters[] = "TUVWDEFG";
  for (std::uint8_t i = 0; i < 8; ++i) t[static_cast<unsigned char>(letters[i])] = i;
  return t;
}();

inline unsigned digit(char c) { return static_cast<unsigned>(static_cast<unsigned char>(c) - '0'); }

// One to three decimal digits from p (with three bytes readable there):
// their value and count (0: no digit), read without a branch per digit,
// since how many digits a tile id has follows no pattern.
struct short_number {
  unsigned value, digits;
};
inline short_number read_short_number(const char* p) {
  const unsigned d1 = digit(p[0]), d2 = digit(p[1]), d3 = digit(p[2]);
  const unsigned has1 = d1 < 10, has2 = has1 & (d2 < 10), has3 = has2 & (d3 < 10);
  const unsigned n = has1 + has2 + has3;
  // Each digit's weight by the count; bytes past the number weigh 0.
  static constexpr std::uint8_t w1[] = {0, 1, 10, 100}, w2[] = {0, 0, 1, 10}, w3[] = {0, 0, 0, 1};
  return {d1 * w1[n] + d2 * w2[n] + d3 * w3[n], n};
}

inline mjai::Tile tile_of_code(std::uint8_t code) { return mjai::tile_of_valid_code(code); }

// A tile id's tile, straight: one load where the code and then its tile
// would be two in a row.
constexpr auto tile_tables = [] {
  std::array<std::array<std::uint8_t, 136>, 2> t{};
  for (unsigned red = 0; red < 2; ++red)
    for (unsigned id = 0; id < 136; ++id) t[red][id] = mjai::tile_of_valid_code(code_tables[red][id]).id;
  return t;
}();
inline mjai::Tile tile_of(unsigned id, bool red) { return mjai::Tile{tile_tables[red][id]}; }

// Constructed in place: no text to move.
inline void add_item(std::vector<Action>& list, Action::Kind kind, std::uint8_t value) {
  Action& a = list.emplace_back();
  a.kind = kind;
  a.value = value;
}
inline void add_tile(std::vector<Action>& list, mjai::Tile t) { add_item(list, Action::Kind::tile, t.id); }

// A call or riichi text (at most "151551m15"), built in place.
struct call_text {
  char c[12];
  unsigned n = 0;

  void put(char x) { c[n++] = x; }
  void code(std::uint8_t v) {
    put(static_cast<char>('0' + v / 10));
    put(static_cast<char>('0' + v % 10));
  }
  Action action() const { return Action{Action::Kind::text, 0, std::string(c, n)}; }
};

struct Call {
  enum class Kind : std::uint8_t { chi, pon, daiminkan, kakan, ankan, kita } kind;
  unsigned from = 0;    // 1 next, 2 opposite, 3 previous; 0 for ankan
  unsigned called = 0;  // tile id taken from the other seat (for ankan, unused)
  unsigned added = 0;   // kakan's added tile
  unsigned own[4] = {};
  unsigned own_count = 0;
};

// What the builder sees of an element: its tag, where the tag's name stands
// in the text (for messages), and its attributes in the order written.
struct element {
  struct attribute_entry {
    std::string_view name, value;
  };
  std::string_view name;
  std::int64_t offset = 0;
  std::vector<attribute_entry> attributes;  // reused from element to element
};

// An attribute's value, or none; the first of that name counts.
struct attr_value {
  std::string_view text;
  bool found = false;

  explicit operator bool() const noexcept { return found; }
  std::string_view value() const noexcept { return text; }
};

// Fills the document from the elements of <mjloggm>, given one at a time in
// record order. Without texts (for the converter, which never reads them)
// a win's points and yaku stay empty strings, one per yaku.
class builder {
 public:
  // Three-player records are read only when `any_players` allows them.
  builder(bool texts, bool any_players) : texts_(texts), any_players_(any_players) {}

  // The root element, which carries the version.
  bool root(const element& e) {
    node_ = &e;
    return ver();
  }

  // The next child element of the root.
  bool child(const element& e) {
    ++element_;
    node_ = &e;
    return handle();
  }

  // A child element that is a draw or discard (k 0-3 draws of seats 0-3,
  // 4-7 discards), as the flat reader finds it. That reader's refusals are
  // never shown (the tree reader words them), so neither the element's
  // place nor the count of elements is kept for a message here.
  bool flat_tile_child(unsigned k, unsigned id) { return tile(k, id); }

  std::string& error() noexcept { return error_; }
  Document take() && { return std::move(doc_); }

 private:
  // "element 12 <INIT> (byte 345), attribute hai0: ..."
  [[gnu::cold]] bool fail(std::string_view attr, std::string_view what) {
    error_.clear();
    if (element_) {
      error_ += "element ";
      append_number(error_, static_cast<std::int64_t>(element_));
      error_ += ' ';
    }
    error_ += '<';
    error_ += node_->name;
    error_ += "> (byte ";
    append_number(error_, static_cast<std::int64_t>(node_->offset));
    error_ += ')';
    if (!attr.empty()) {
      error_ += ", attribute ";
      error_ += attr;
    }
    error_ += ": ";
    error_ += what;
    return false;
  }
  [[gnu::cold]] bool fail_number(std::string_view attr, std::string_view before, std::int64_t v, std::string_view after) {
    std::string w(before);
    append_number(w, v);
    w += after;
    return fail(attr, w);
  }

  // A required attribute's value.
  attr_value attribute(std::string_view name) const {
    // Length and last letter first: keys such as hai0..hai3 and seed share
    // a length and a first letter, and a call to memcmp costs more.
    for (const element::attribute_entry& a : node_->attributes)
      if (a.name.size() == name.size() && a.name.back() == name.back() && a.name == name) return {a.value, true};
    return {};
  }

  bool attr(std::string_view name, std::string_view& out) {
    const attr_value a = attribute(name);
    if (!a) return fail(name, "missing attribute");
    out = a.value();
    return true;
  }

  // Comma-separated decimal integers within [lo, hi].
  template <class T>
  bool ints(std::string_view name, std::string_view s, std::int64_t lo, std::int64_t hi, T&& each) {
    const char* p = s.data();
    const char* const end = p + s.size();
    if (p == end) return true;
    for (;;) {
      // By hand: from_chars costs more than all else here for these short numbers.
      const bool minus = *p == '-';
      p += minus;
      const char* const digits = p;
      std::uint64_t u = 0;
      for (; p != end && static_cast<unsigned>(*p - '0') < 10; ++p) u = u * 10 + static_cast<unsigned>(*p - '0');
      if (p == digits || (p != end && *p != ',')) return fail(name, "not a list of integers");
      if (p - digits > 18) return fail(name, "an integer too long");  // u may have wrapped
      const std::int64_t v = minus ? -static_cast<std::int64_t>(u) : static_cast<std::int64_t>(u);
      if (v < lo || v > hi) return fail_number(name, "value ", v, " out of range");
      if (!each(v)) return false;
      if (p == end) return true;
      ++p;
    }
  }

  // Exactly n integers.
  template <std::size_t N>
  bool fixed_ints(std::string_view name, std::int64_t lo, std::int64_t hi, std::array<std::int64_t, N>& out) {
    std::string_view s;
    if (!attr(name, s)) return false;
    std::size_t n = 0;
    if (!ints(name, s, lo, hi, [&](std::int64_t v) {
          if (n == N) return fail_number(name, "more than ", N, " values");
          out[n++] = v;
          return true;
        }))
      return false;
    if (n != N) return fail_number(name, "expected ", N, " values");
    return true;
  }

  bool one_int(std::string_view name, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
    std::array<std::int64_t, 1> v{};
    if (!fixed_ints(name, lo, hi, v)) return false;
    out = v[0];
    return true;
  }

  bool seat(std::string_view name, std::uint8_t& out) {
    std::string_view s;
    if (!attr(name, s)) return false;
    std::int64_t v;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc{} || r.ptr != s.data() + s.size()) return fail(name, "not a seat number");
    if (v < 0 || v > 3) return fail_number(name, "seat ", v, " outside 0-3");
    out = static_cast<std::uint8_t>(v);
    return true;
  }

  bool tile_id(std::string_view name, std::int64_t v) {
    if (v < 0 || v > 135) return fail_number(name, "tile id ", v, " outside 0-135");
    return true;
  }

  // Tile ids in a list attribute.
  bool tiles(std::string_view name, std::string_view s, std::vector<mjai::Tile>& out) {
    return ints(name, s, INT64_MIN, INT64_MAX, [&](std::int64_t v) {
      if (!tile_id(name, v)) return false;
      out.push_back(tile_of(static_cast<unsigned>(v), red_));
      return true;
    });
  }

  // A finite decimal; -0 reads as 0.
  bool number(std::string_view name, std::string_view s, double& out) {
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    if (r.ec != std::errc{} || r.ptr != s.data() + s.size() || !std::isfinite(out))
      return fail(name, "not a finite number");
    if (out == 0) out = 0;
    return true;
  }

  bool valid_text(std::string_view name, const std::string& s) {
    if (!kifuzan::base::is_valid_utf8(s)) return fail(name, "not UTF-8 text");
    return true;
  }

  bool ver() {
    std::string_view s;
    return attr("ver", s) && number("ver", s, doc_.ver);
  }

  bool handle() {
    const std::string_view name = node_->name;
    // Draws (T U V W) and discards (D E F G) carry the tile id in the tag.
    if (name.size() > 1 && static_cast<unsigned>(name[1] - '0') < 10) {
      const unsigned k = seat_letters[static_cast<unsigned char>(name[0])];
      if (k > 7) return true;
      unsigned id = 0;
      std::size_t i = 1;
      for (; i < name.size() && i < 4 && static_cast<unsigned>(name[i] - '0') < 10; ++i)
        id = id * 10 + static_cast<unsigned>(name[i] - '0');
      if (i != name.size()) {
        while (i < name.size() && static_cast<unsigned>(name[i] - '0') < 10) ++i;
        return fail({}, i != name.size() ? "tag is not a letter and a tile id" : "tile id outside 0-135");
      }
      return tile(k, id);
    }
    const std::string_view tag = name;
    if (tag == "N"sv) return call();
    if (tag == "REACH"sv) return reach();
    if (tag == "DORA"sv) return dora();
    if (tag == "INIT"sv) return init();
    if (tag == "AGARI"sv) return agari();
    if (tag == "RYUUKYOKU"sv) return ryuukyoku();
    if (tag == "BYE"sv) return bye();
    if (tag == "UN"sv) return un();
    if (tag == "GO"sv) return go();
    if (tag == "SHUFFLE"sv) return shuffle();
    return true;  // TAIKYOKU and anything unknown carry nothing for the document
  }

  bool shuffle() {
    if (const attr_value a = attribute("ref")) {
      doc_.ref = a.value();
      return valid_text("ref", doc_.ref);
    }
    return true;
  }

  bool go() {
    if (seen_go_) return fail({}, "a second GO");
    seen_go_ = true;
    std::int64_t type = 0;
    if (!one_int("type", 0, UINT32_MAX, type)) return false;
    const auto t = static_cast<unsigned>(type);
    if (t & go_sanma) {
      if (!any_players_) {
        error_ = three_player_message;
        return false;
      }
      doc_.players = 3;
      doc_.ratingc = "PF3";
    }
    red_ = !(t & go_no_red);
    std::string& d = doc_.rule.disp;
    d = doc_.players == 3 ? "三"sv : ""sv;
    d += level_names[((t & go_level2) ? 2 : 0) + ((t & go_level1) ? 1 : 0)];
    d += (t & go_south) ? "南"sv : "東"sv;
    if (!(t & go_no_kuitan)) d += "喰"sv;
    if (red_) d += "赤"sv;
    if (t & go_fast) d += "速"sv;
    const std::uint8_t aka = red_ ? 1 : 0;
    doc_.rule.aka51 = doc_.rule.aka52 = doc_.rule.aka53 = aka;
    if (attribute("lobby")) {
      std::int64_t lobby = 0;
      if (!one_int("lobby", INT32_MIN, INT32_MAX, lobby)) return false;
      doc_.lobby = static_cast<std::int32_t>(lobby);
    }
    return true;
  }

  // The first UN names the players; a later one is a reconnection.
  bool un() {
    static constexpr std::string_view keys[] = {"n0", "n1", "n2", "n3"};
    if (seen_un_) {
      for (std::uint8_t k = 0; k < 4; ++k)
        if (attribute(keys[k])) connect(1, k);
      return true;
    }
    seen_un_ = true;
    for (std::size_t k = 0; k < 4; ++k) {
      std::string_view s;
      if (!attr(keys[k], s)) return false;
      if (!percent_decode(s, doc_.name[k])) return fail(keys[k], "broken percent-encoding");
      if (!valid_text(keys[k], doc_.name[k])) return false;
    }
    // Some records carry gold instead of dan: the document then has no dan.
    if (const attr_value a = attribute("dan")) {
      if (!ints("dan", a.value(), 0, 20, [&](std::int64_t v) {
            doc_.dan.emplace_back(dan_names[v]);
            return true;
          }))
        return false;
    }
    if (const attr_value a = attribute("rate")) {
      std::string_view s = a.value();
      while (!s.empty()) {
        const std::size_t comma = s.find(',');
        double v;
        if (!number("rate", s.substr(0, comma), v)) return false;
        doc_.rate.push_back(v);
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
      }
    }
    if (const attr_value a = attribute("sx")) {
      std::string_view s = a.value();
      while (!s.empty()) {
        const std::size_t comma = s.find(',');
        std::string& x = doc_.sx.emplace_back(s.substr(0, comma));
        if (!valid_text("sx", x)) return false;
        if (comma == std::string_view::npos) break;
        s.remove_prefix(comma + 1);
      }
    }
    return true;
  }

  bool bye() {
    std::uint8_t who = 0;
    if (!seat("who", who)) return false;
    connect(0, who);
    return true;
  }

  void connect(std::uint8_t what, std::uint8_t who) {
    const std::int32_t log = static_cast<std::int32_t>(doc_.log.size()) - 1;
    doc_.connection.push_back(Connection{what, log, who, step_});
  }

  bool init() {
    if (!seen_go_) return fail({}, "no GO before the first INIT");
    std::array<std::int64_t, 6> seed;
    std::array<std::int64_t, 4> ten;
    std::int64_t oya = 0;
    const unsigned players = doc_.players;
    if (!fixed_ints("seed", 0, INT64_MAX, seed) || !fixed_ints("ten", -max_hundreds, max_hundreds, ten) ||
        !one_int("oya", 0, players - 1, oya))
      return false;
    for (std::size_t i = 0; i < 3; ++i)
      if (seed[i] > 255) return fail_number("seed", "value ", seed[i], " out of range");
    if (!tile_id("seed", seed[5])) return false;
    if (doc_.log.empty()) doc_.log.reserve(16);
    Kyoku& k = doc_.log.emplace_back();
    // About as many as a seat's lists hold in a long kyoku.
    for (std::size_t s = 0; s < 4; ++s) {
      k.seats[s].takes.reserve(24);
      k.seats[s].discards.reserve(24);
    }
    k.round = static_cast<std::uint8_t>(seed[0]);
    k.honba = static_cast<std::uint8_t>(seed[1]);
    k.kyotaku = static_cast<std::uint8_t>(seed[2]);
    k.dora_indicators.push_back(tile_of(static_cast<unsigned>(seed[5]), red_));
    for (std::size_t s = 0; s < 4; ++s) k.scores[s] = static_cast<std::int32_t>(ten[s] * 100);
    static constexpr std::string_view keys[] = {"hai0", "hai1", "hai2", "hai3"};
    for (std::size_t s = 0; s < players; ++s) {
      std::array<std::uint8_t, 13> ids;
      if (!hand(keys[s], ids)) return false;
      sort_hand(ids, k.haipai[s]);
    }
    // The absent seat's hand is an empty attribute: tenhou pads seat 3.
    if (players == 3) {
      if (!attribute("hai3")) return fail("hai3", "missing attribute");
      if (!attribute("hai3").value().empty())
        return fail_number("hai3", "a hand for seat 3 in kyoku ", static_cast<std::int64_t>(doc_.log.size() - 1),
                           ", a three-player record (GO type 0x10) deals seat 3 none");
    }
    kyoku_ = &k;
    for (std::size_t s = 0; s < 4; ++s) {
      lists_[s] = &k.seats[s].takes;
      lists_[4 + s] = &k.seats[s].discards;
    }
    oya_ = static_cast<std::uint8_t>(oya);
    step_ = 0;
    last_draw_.fill(-1);
    riichi_.fill(false);
    return true;
  }

  // Thirteen tile ids. The common case is read here; anything else goes
  // the general way, which says what is wrong.
  bool hand(std::string_view name, std::array<std::uint8_t, 13>& ids) {
    std::string_view v;
    if (!attr(name, v)) return false;
    if (v.empty()) return no_hand(name);
    const char* p = v.data();
    const char* const end = p + v.size();
    // Twelve ids each with its comma, read without a branch per digit, so
    // at least 4 bytes stand from each; the last one by the plain loop.
    if (end - p < 12 * 2 + 1) return hand_slow(name, ids);
    for (std::size_t i = 0; i < 12; ++i) {
      if (end - p < 4) return hand_slow(name, ids);
      const auto [id, digits] = read_short_number(p);
      p += digits;
      if (!digits || id > 135 || *p != ',') return hand_slow(name, ids);
      ids[i] = static_cast<std::uint8_t>(id);
      ++p;
    }
    const char* const digits = p;
    unsigned id = 0;
    while (p != end && digit(*p) < 10 && p - digits < 3) id = id * 10 + digit(*p++);
    if (p == digits || id > 135 || p != end) return hand_slow(name, ids);
    ids[12] = static_cast<std::uint8_t>(id);
    return true;
  }

  [[gnu::cold]] bool no_hand(std::string_view name) {
    return fail_number(name, "no hand for a seat in kyoku ", static_cast<std::int64_t>(doc_.log.size() - 1),
                       doc_.players == 3 ? "" : ", a four-player record (GO type without 0x10) deals every seat one");
  }

  bool hand_slow(std::string_view name, std::array<std::uint8_t, 13>& ids) {
    std::array<std::int64_t, 13> v;
    if (!fixed_ints(name, INT64_MIN, INT64_MAX, v)) return false;
    for (std::size_t i = 0; i < 13; ++i) {
      if (!tile_id(name, v[i])) return false;
      ids[i] = static_cast<std::uint8_t>(v[i]);
    }
    return true;
  }

  // By kind, a red five after the plain fives of its suit: a set of places
  // read in order, as no id repeats in a real hand.
  void sort_hand(const std::array<std::uint8_t, 13>& ids, mjai::Hand& out) const {
    const auto& place = hand_places[red_];
    std::uint64_t set[3] = {};
    for (std::uint8_t id : ids) {
      const unsigned at = place[id];
      const std::uint64_t bit = std::uint64_t{1} << (at & 63);
      if (set[at >> 6] & bit) return sort_hand_keyed(ids, out);
      set[at >> 6] |= bit;
    }
    std::size_t n = 0;
    for (unsigned w = 0; w < 3; ++w)
      for (std::uint64_t bits = set[w]; bits; bits &= bits - 1)
        out[n++] = tile_of(place[w * 64 + static_cast<unsigned>(std::countr_zero(bits))], red_);
  }

  // A hand that holds an id twice, sorted by key with the code in the low byte.
  [[gnu::cold]] void sort_hand_keyed(const std::array<std::uint8_t, 13>& ids, mjai::Hand& out) const {
    std::array<std::uint16_t, 13> keyed;
    for (std::size_t i = 0; i < 13; ++i)
      keyed[i] = static_cast<std::uint16_t>(sort_key(ids[i], red_) << 8 | tile_code(ids[i], red_));
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < 13; ++i) out[i] = tile_of_code(static_cast<std::uint8_t>(keyed[i]));
  }

  // A draw (k 0-3, by seat) or a discard (k 4-7). Selects stand in for
  // branches: whether a tag is a draw or a discard, and whether a discard
  // is the tile just drawn, follow no pattern a predictor learns.
  bool tile(unsigned k, unsigned id) {
    if (id > 135) return fail({}, "tile id outside 0-135");
    if (!kyoku_) return fail({}, k < 4 ? "a draw before the first INIT" : "a discard before the first INIT");
    const unsigned seat = k & 3;
    const bool discard = k > 3;
    // & rather than &&: a short circuit would be a branch on draw or discard.
    const bool tsumogiri = discard & (last_draw_[seat] == static_cast<int>(id));
    std::vector<Action>& list = *lists_[k];
    if (discard & riichi_[seat]) {
      riichi_discard(list, tsumogiri ? std::uint8_t{60} : tile_code(id, red_));
      riichi_[seat] = false;
    } else {
      // The number 60 or the tile, by arithmetic: GCC turns a conditional
      // here into a branch, which tsumogiri, at random, defeats.
      static_assert(static_cast<unsigned>(Action::Kind::tile) == 0 && static_cast<unsigned>(Action::Kind::number) == 1);
      const unsigned tile = tile_of(id, red_).id, mask = 0u - tsumogiri;
      add_item(list, static_cast<Action::Kind>(tsumogiri), static_cast<std::uint8_t>(tile ^ ((tile ^ 60u) & mask)));
    }
    last_draw_[seat] = discard ? -1 : static_cast<int>(id);
    ++step_;
    return true;
  }

  // Out of line: a text is rare among discards, and its making would weigh
  // on every other one.
  [[gnu::noinline]] static void riichi_discard(std::vector<Action>& discards, std::uint8_t code) {
    call_text t;
    t.put('r');
    t.code(code);
    discards.push_back(t.action());
  }

  bool decode(std::int64_t m, Call& c) {
    auto none = [&] { return fail_number("m", "call code ", m, " decodes to no call"); };
    c.from = static_cast<unsigned>(m & 3);
    if (m & 0x04) {
      c.kind = Call::Kind::chi;
      const unsigned v = static_cast<unsigned>(m >> 10), s = v / 3;
      if (s >= 21 || c.from != 3) return none();
      const unsigned base = (s / 7) * 9 + s % 7;
      unsigned ids[3];
      for (unsigned i = 0; i < 3; ++i) ids[i] = (base + i) * 4 + ((static_cast<unsigned>(m) >> (3 + 2 * i)) & 3);
      c.called = ids[v % 3];
      for (unsigned i = 0; i < 3; ++i)
        if (i != v % 3) c.own[c.own_count++] = ids[i];
      return true;
    }
    if (m & 0x18) {  // pon, or kakan on a pon
      c.kind = (m & 0x08) ? Call::Kind::pon : Call::Kind::kakan;
      const unsigned u = (static_cast<unsigned>(m) >> 5) & 3, v = static_cast<unsigned>(m >> 9), kind = v / 3;
      if (kind >= 34 || c.from == 0) return none();
      unsigned rest[3], n = 0;
      for (unsigned i = 0; i < 4; ++i)
        if (i != u) rest[n++] = kind * 4 + i;
      c.called = rest[v % 3];
      c.added = kind * 4 + u;
      for (unsigned i = 0; i < 3; ++i)
        if (i != v % 3) c.own[c.own_count++] = rest[i];
      return true;
    }
    if (m & 0x20) {  // kita: the tile set aside
      c.kind = Call::Kind::kita;
      c.called = static_cast<unsigned>(m >> 8);
      if (c.called >= 136 || c.from) return none();
      return true;
    }
    const unsigned id = static_cast<unsigned>(m >> 8);
    if (id >= 136) return none();
    c.kind = c.from ? Call::Kind::daiminkan : Call::Kind::ankan;
    c.called = id;
    for (unsigned i = 0; i < 4; ++i) {
      const unsigned t = (id / 4) * 4 + i;
      if (c.from == 0 || t != id) c.own[c.own_count++] = t;
    }
    return true;
  }

  bool call() {
    std::uint8_t who = 0;
    std::int64_t m = 0;
    if (!seat("who", who) || !one_int("m", 0, 65535, m)) return false;
    if (!kyoku_) return fail({}, "a call before the first INIT");
    Call c{};
    if (!decode(m, c)) return false;
    if (c.kind == Call::Kind::kita) return kita(who, c.called);
    for (unsigned i = 1; i < c.own_count; ++i)  // at most four tiles
      for (unsigned j = i; j > 0 && sort_key(c.own[j], red_) < sort_key(c.own[j - 1], red_); --j)
        std::swap(c.own[j], c.own[j - 1]);
    std::uint8_t own[4];
    for (unsigned i = 0; i < c.own_count; ++i) own[i] = tile_code(c.own[i], red_);
    const std::uint8_t called = tile_code(c.called, red_);
    // The marker stands where the called tile lies: first from the previous
    // seat, second from the opposite one, last from the next one.
    const unsigned pos = c.from == 3 ? 0 : c.from == 2 ? 1 : c.own_count;
    call_text t;
    auto own_with_marker = [&](char marker, std::uint8_t first, const std::uint8_t* second) {
      for (unsigned i = 0; i <= c.own_count; ++i) {
        if (i == pos) {
          t.put(marker);
          t.code(first);
          if (second) t.code(*second);
        }
        if (i < c.own_count) t.code(own[i]);
      }
    };
    switch (c.kind) {
      case Call::Kind::chi:
      case Call::Kind::pon: own_with_marker(c.kind == Call::Kind::chi ? 'c' : 'p', called, nullptr); break;
      case Call::Kind::daiminkan: own_with_marker('m', called, nullptr); break;
      case Call::Kind::kakan: {
        const std::uint8_t added = tile_code(c.added, red_);
        own_with_marker('k', added, &called);
        break;
      }
      case Call::Kind::ankan:
        for (unsigned i = 0; i < 4; ++i) {
          if (i == 3) t.put('a');
          t.code(own[i]);
        }
        break;
      case Call::Kind::kita: break;  // handled above
    }
    if (c.kind == Call::Kind::kakan || c.kind == Call::Kind::ankan) {
      kyoku_->seats[who].discards.push_back(t.action());
    } else {
      kyoku_->seats[who].takes.push_back(t.action());
      if (c.kind == Call::Kind::daiminkan) add_tile(kyoku_->seats[who].discards, mjai::unknown_tile);
    }
    last_draw_[who] = -1;
    ++step_;
    return true;
  }

  // A kita stands in the discard list as "f44", among the seat's discards,
  // kans and riichi in the order of the XML's tags: the document keeps no
  // other trace of when it came (before or after a kan's dora, say), so the
  // converter's order of play is the XML's. The next draw is its
  // replacement; the converter checks that the seat holds a North.
  [[gnu::cold]] bool kita(std::uint8_t who, unsigned id) {
    if (doc_.players != 3 || id / 4 != 30 || who > 2) {
      std::string w = "kyoku ";
      append_number(w, static_cast<std::int64_t>(doc_.log.size() - 1));
      w += ", seat ";
      append_number(w, who);
      w += ", discard entry ";
      append_number(w, static_cast<std::int64_t>(kyoku_->seats[who].discards.size()));
      if (doc_.players != 3) w += ": a kita in a four-player record";
      else if (who > 2) w += ": a kita by seat 3, which a three-player record leaves empty";
      else {
        w += ": a kita of ";
        append_number(w, tile_code(id, red_));
        w += ", not North (44)";
      }
      return fail("m", w);
    }
    call_text t;
    t.put('f');
    t.code(44);
    kyoku_->seats[who].discards.push_back(t.action());
    last_draw_[who] = -1;
    ++step_;
    return true;
  }

  bool reach() {
    std::uint8_t who = 0;
    std::int64_t step = 0;
    if (!seat("who", who) || !one_int("step", INT64_MIN, INT64_MAX, step)) return false;
    if (!kyoku_) return fail({}, "a riichi before the first INIT");
    if (step == 1) riichi_[who] = true;
    return true;
  }

  bool dora() {
    std::int64_t id = 0;
    if (!one_int("hai", INT64_MIN, INT64_MAX, id) || !tile_id("hai", id)) return false;
    if (!kyoku_) return fail({}, "a dora before the first INIT");
    kyoku_->dora_indicators.push_back(tile_of(static_cast<unsigned>(id), red_));
    return true;
  }

  // Score changes of the four seats (×100) from sc; chip columns follow them.
  bool deltas(Deltas& out) {
    std::string_view s;
    if (!attr("sc", s)) return false;
    std::size_t n = 0;
    if (!ints("sc", s, -max_hundreds, max_hundreds, [&](std::int64_t v) {
          if (n < 8 && n % 2 == 1) out[n / 2] = static_cast<std::int32_t>(v * 100);
          ++n;
          return true;
        }))
      return false;
    if (n < 8) return fail("sc", "fewer than 8 values");
    return true;
  }

  // Final scores ×100 and results, from the last result element.
  bool owari() {
    const attr_value a = attribute("owari");
    if (!a) return true;
    doc_.sc.clear();
    std::string_view s = a.value();
    for (std::size_t i = 0; i < 8; ++i) {
      if (s.empty()) return fail("owari", "fewer than 8 values");
      const std::size_t comma = s.find(',');
      const std::string_view x = s.substr(0, comma);
      double v;
      if (i % 2 == 0) {
        std::int64_t score;
        const auto r = std::from_chars(x.data(), x.data() + x.size(), score);
        if (r.ec != std::errc{} || r.ptr != x.data() + x.size() || score < -max_hundreds || score > max_hundreds)
          return fail("owari", "a score is not an integer within range");
        v = static_cast<double>(score * 100);
      } else if (!number("owari", x, v)) {
        return false;
      }
      doc_.sc.push_back(v);
      s = comma == std::string_view::npos ? std::string_view{} : s.substr(comma + 1);
    }
    return true;
  }

  bool result_start(Result::Kind kind) {
    if (!kyoku_) return fail({}, "a result before the first INIT");
    Result& r = kyoku_->result;
    if (r.kind != Result::Kind::none && !(kind == Result::Kind::win && r.kind == Result::Kind::win))
      return fail({}, "a second result in one kyoku");
    r.kind = kind;
    return true;
  }

  bool agari() {
    if (!kyoku_) return fail({}, "a result before the first INIT");
    Win w;
    std::array<std::int64_t, 3> ten;
    if (!seat("who", w.who) || !seat("fromWho", w.from_who) || !fixed_ints("ten", 0, INT32_MAX, ten) ||
        !deltas(w.deltas))
      return false;
    w.pao_who = w.who;
    if (attribute("paoWho") && !seat("paoWho", w.pao_who)) return false;
    if (ten[2] > 5) return fail_number("ten", "limit class ", ten[2], " outside 0-5");
    const attr_value yaku = attribute("yaku"), yakuman = attribute("yakuman");
    if (!yaku && !yakuman) return fail("yaku", "missing attribute");
    std::int64_t han = 0, id = -1;
    w.yaku.reserve(8);  // one allocation where growing by one would make four
    if (yaku && !ints("yaku", yaku.value(), 0, INT32_MAX, [&](std::int64_t v) {
          if (id < 0) {
            if (v >= static_cast<std::int64_t>(yaku_count)) return fail_number("yaku", "unknown yaku ", v, "");
            id = v;
            return true;
          }
          han += v;
          if (v > 0) {
            std::string& y = w.yaku.emplace_back();
            if (texts_) {
              y = yaku_names[id];
              y += '(';
              append_number(y, v);
              y += "飜)"sv;
            }
          }
          id = -1;
          return true;
        }))
      return false;
    if (id >= 0) return fail("yaku", "an odd number of values");
    if (yakuman && !ints("yakuman", yakuman.value(), 0, static_cast<std::int64_t>(yaku_count) - 1, [&](std::int64_t v) {
          std::string& y = w.yaku.emplace_back();
          if (texts_) (y = yaku_names[v]) += "(役満)"sv;
          return true;
        }))
      return false;
    if (texts_) points(static_cast<std::int64_t>(ten[0]), std::min<std::int64_t>(han, 1000), ten[1], ten[2], w);
    if (kyoku_->ura_indicators.empty())
      if (const attr_value u = attribute("doraHaiUra")) {
        kyoku_->ura_indicators.reserve(5);  // at most four kans and the first
        if (!tiles("doraHaiUra", u.value(), kyoku_->ura_indicators)) return false;
      }
    if (!result_start(Result::Kind::win)) return false;
    kyoku_->result.wins.push_back(std::move(w));
    return owari();
  }

  // 30符1飜1000点, 満貫8000点; tsumo 300-500点 (a-b), dealer 500点∀.
  void points(std::int64_t fu, std::int64_t han, std::int64_t ten, std::int64_t limit, Win& w) {
    std::string& p = w.points;
    std::int64_t a, b;
    if (limit) {
      p = limit_names[limit];
      // ten is what was paid: without the absent seat's share in three-player.
      if (doc_.players == 3) {
        a = ten / 3;
        b = w.who == oya_ ? ten / 2 : 2 * ten / 3;
      } else {
        a = ten / 4;
        b = w.who == oya_ ? ten / 3 : ten / 2;
      }
    } else {
      append_number(p, fu);
      p += "符"sv;
      append_number(p, han);
      p += "飜"sv;
      // b0 = fu * 2^(han+2), rounded up to hundreds; a large han only
      // reaches here in a broken record, so the shift is capped.
      const std::int64_t b0 = fu << std::min<std::int64_t>(han + 2, 24);
      a = (b0 + 99) / 100 * 100;
      b = (2 * b0 + 99) / 100 * 100;
    }
    if (w.who != w.from_who) {
      append_number(p, ten);
      p += "点"sv;
    } else if (w.who == oya_) {
      append_number(p, b);
      p += "点∀"sv;
    } else {
      append_number(p, a);
      p += '-';
      append_number(p, b);
      p += "点"sv;
    }
  }

  bool ryuukyoku() {
    if (!kyoku_) return fail({}, "a result before the first INIT");
    Result::Kind kind = Result::Kind::draw;
    if (const attr_value t = attribute("type")) {
      static constexpr std::pair<std::string_view, Result::Kind> types[] = {
          {"yao9", Result::Kind::nine_kinds}, {"reach4", Result::Kind::four_riichi},
          {"ron3", Result::Kind::triple_ron}, {"kan4", Result::Kind::four_kans},
          {"kaze4", Result::Kind::four_winds}, {"nm", Result::Kind::nagashi}};
      const auto* it = std::find_if(std::begin(types), std::end(types),
                                    [&](const auto& x) { return x.first == t.value(); });
      if (it == std::end(types)) return fail("type", "unknown draw type");
      kind = it->second;
    } else {
      int shown = 0;
      for (std::string_view h : {"hai0"sv, "hai1"sv, "hai2"sv, "hai3"sv}) shown += attribute(h) ? 1 : 0;
      if (shown == 0) kind = Result::Kind::all_noten;
      if (shown == doc_.players) kind = Result::Kind::all_tenpai;
    }
    Deltas d{};
    if (has_deltas(kind) && !deltas(d)) return false;
    if (!result_start(kind)) return false;
    kyoku_->result.deltas = d;
    return owari();
  }

  Document doc_;
  std::string error_;
  const element* node_ = nullptr;
  bool texts_;
  std::size_t element_ = 0;
  bool any_players_;
  bool seen_go_ = false, seen_un_ = false, red_ = true;
  Kyoku* kyoku_ = nullptr;  // the current kyoku, once an INIT was read
  std::array<std::vector<Action>*, 8> lists_{};  // its takes, then its discards, by seat
  std::uint8_t oya_ = 0;
  std::uint32_t step_ = 0;
  std::array<int, 4> last_draw_{};
  std::array<bool, 4> riichi_{};
};

// The flat tag stream of a record as tenhou writes it: <mjloggm ...>, then
// empty elements, white space and comments, then </mjloggm>, each element
// handed to the builder as soon as its tag is read, its attribute values
// left where they stand in the text. It gives up (false) on anything else:
// a DOCTYPE, a processing instruction, a reference (&...;), text, an element
// with content, a name beyond ASCII letters and digits, a NUL byte. Where
// it does not give up it sees the very elements and values pugixml sees.
class flat_reader {
 public:
  explicit flat_reader(std::string_view xml) : begin_(xml.data()), p_(xml.data()), end_(xml.data() + xml.size()) {
    e_.attributes.reserve(24);
  }

  bool run(builder& b) {
    if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;  // pugixml skips a BOM too
    if (!misc() || tag() != tag_end::open || e_.name != "mjloggm"sv || !b.root(e_)) return false;
    // The position stays in a local here: as a member it would be stored
    // and loaded again around every store into the document.
    const char* p = p_;
    for (;;) {
      if (p == end_) return false;
      if (*p != '<') {
        while (p != end_ && is_space(*p)) ++p;
        if (p == end_ || *p != '<') return false;
      }
      if (end_ - p < 2) return false;
      if (p[1] == '/') break;
      if (const tile_step t = tile_tag(b, p); t == tile_step::refused) return false;
      else if (t == tile_step::read) continue;
      p_ = p;
      if (p[1] == '!' ? !comment() : tag() != tag_end::empty || !b.child(e_)) return false;
      p = p_;
    }
    p_ = p;
    // </mjloggm>, then nothing but white space and comments.
    constexpr std::string_view close = "</mjloggm";
    if (static_cast<std::size_t>(end_ - p_) < close.size() || std::string_view(p_, close.size()) != close) return false;
    p_ += close.size();
    while (p_ != end_ && is_space(*p_)) ++p_;
    if (p_ == end_ || *p_ != '>') return false;
    ++p_;
    return misc() && p_ == end_;
  }

 private:
  enum class tag_end : std::uint8_t { bad, empty, open };

  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
  static bool is_letter(char c) { return static_cast<unsigned>((c | 0x20) - 'a') < 26; }
  static bool is_name_char(char c) { return is_letter(c) || static_cast<unsigned>(c - '0') < 10; }

  // White space and comments, up to the next other byte or the end.
  bool misc() {
    for (;;) {
      while (p_ != end_ && is_space(*p_)) ++p_;
      if (end_ - p_ < 2 || p_[0] != '<' || p_[1] != '!') return true;
      if (!comment()) return false;
    }
  }

  // <!-- ... -->; pugixml ends it at the first "-->" and at a NUL byte.
  bool comment() {
    if (end_ - p_ < 4 || std::string_view(p_, 4) != "<!--"sv) return false;
    const std::string_view rest(p_ + 4, static_cast<std::size_t>(end_ - p_ - 4));
    const std::size_t close = rest.find("-->"sv);
    if (close == std::string_view::npos || rest.substr(0, close).find('\0') != std::string_view::npos) return false;
    p_ = rest.data() + close + 3;
    return true;
  }

  enum class tile_step : std::uint8_t { other, read, refused };

  // Most elements are draws and discards, <T12/>: handed over as soon as
  // the tag is seen to be one. Any other tag is left for tag().
  tile_step tile_tag(builder& b, const char*& p) {
    // The longest such tag and the shortest end after it: <T123/></mjloggm>.
    if (end_ - p < 7) return tile_step::other;
    const unsigned k = seat_letters[static_cast<unsigned char>(p[1])];
    const auto [id, digits] = read_short_number(p + 2);
    const char* const q = p + 2 + digits;
    if (k > 7 || !digits || q[0] != '/' || q[1] != '>') return tile_step::other;
    p = q + 2;
    return b.flat_tile_child(k, id) ? tile_step::read : tile_step::refused;
  }

  // Where a value from p ends: its closing quote, or else an '&' or a NUL
  // byte before it, or end. Eight bytes at a time for the first 64, then
  // memchr for a long value (a seed: 400 bytes).
  static const char* value_end(const char* p, const char* end, char quote) {
    static_assert(std::endian::native == std::endian::little, "the first byte is the lowest");
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    const std::uint64_t q = ones * static_cast<unsigned char>(quote), amp = ones * '&';
    for (int i = 0; i < 8 && end - p >= 8; ++i, p += 8) {
      std::uint64_t v;
      std::memcpy(&v, p, 8);
      // A zero byte of x sets its high bit in (x - ones) & ~x; bits above
      // the lowest one may be false, which ctz never looks at.
      const auto zero = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
      if (const std::uint64_t hit = zero(v) | zero(v ^ q) | zero(v ^ amp))
        return p + std::countr_zero(hit) / 8;
    }
    if (end - p >= 8) {
      const auto* close = static_cast<const char*>(std::memchr(p, quote, static_cast<std::size_t>(end - p)));
      if (!close) return end;
      const auto n = static_cast<std::size_t>(close - p);
      if (const void* other = std::memchr(p, '&', n)) return static_cast<const char*>(other);
      if (const void* other = std::memchr(p, '\0', n)) return static_cast<const char*>(other);
      return close;
    }
    while (p != end && *p != quote && *p != '&' && *p != '\0') ++p;
    return p;
  }

  // A start tag from its '<': the name and attributes into e_.
  tag_end tag() {
    const char* p = p_;  // a local, so that stores into e_ need not reload it
    const char* const end = end_;
    if (p == end || *p != '<') return tag_end::bad;
    const char* const name = ++p;
    if (p == end || !is_letter(*p)) return tag_end::bad;
    while (++p != end && is_name_char(*p)) {
    }
    e_.name = std::string_view(name, static_cast<std::size_t>(p - name));
    e_.offset = name - begin_;
    e_.attributes.clear();
    for (;;) {
      if (p == end) return tag_end::bad;
      if (*p == '/') {
        if (++p == end || *p != '>') return tag_end::bad;
        p_ = p + 1;
        return tag_end::empty;
      }
      if (*p == '>') {
        p_ = p + 1;
        return tag_end::open;
      }
      // Attributes stand after white space.
      if (!is_space(*p)) return tag_end::bad;
      while (++p != end && is_space(*p)) {
      }
      if (p == end || !is_letter(*p)) continue;
      const char* const key = p;
      while (++p != end && is_name_char(*p)) {
      }
      const std::string_view key_text(key, static_cast<std::size_t>(p - key));
      while (p != end && is_space(*p)) ++p;
      if (p == end || *p != '=') return tag_end::bad;
      while (++p != end && is_space(*p)) {
      }
      if (p == end || (*p != '"' && *p != '\'')) return tag_end::bad;
      const char quote = *p++;
      const char* const value = p;
      // A reference or a NUL byte is pugixml's to read.
      p = value_end(p, end, quote);
      if (p == end || *p != quote) return tag_end::bad;
      e_.attributes.push_back({key_text, std::string_view(value, static_cast<std::size_t>(p - value))});
      ++p;
    }
  }

  const char* const begin_;
  const char* p_;
  const char* const end_;
  element e_;
};

// "not XML: ...", "DOCTYPE not allowed (byte 0)": how a text fails as XML or
// at its root, as pugixml sees it.
[[gnu::cold]] conv::Error xml_error(std::string_view what, std::int64_t byte, std::string_view after = {}) {
  std::string m(what);
  append_number(m, byte);
  m += after;
  return conv::mjlog_error(std::move(m));
}

void load(element& e, pugi::xml_node n) {
  e.name = n.name();
  e.offset = n.offset_debug();
  e.attributes.clear();
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
    e.attributes.push_back({a.name(), a.value()});
}

}  // namespace

kifuzan::base::result<Document, conv::Error> read_mjlog_tree(std::string_view xml, bool any_players) {
  pugi::xml_document xdoc;
  const pugi::xml_parse_result pr = xdoc.load_buffer(xml.data(), xml.size(), parse_flags, pugi::encoding_utf8);
  if (!pr) return kifuzan::base::failure{xml_error(std::string("not XML: ") + pr.description() + " at byte ", pr.offset)};
  pugi::xml_node root;
  for (pugi::xml_node n = xdoc.first_child(); n; n = n.next_sibling()) {
    if (n.type() == pugi::node_doctype) return kifuzan::base::failure{xml_error("DOCTYPE not allowed (byte ", n.offset_debug(), ")")};
    if (n.type() != pugi::node_element) continue;
    if (root || std::strcmp(n.name(), "mjloggm") != 0)
      return kifuzan::base::failure{xml_error(std::string("wrong root: <") + n.name() + "> at byte ", n.offset_debug(),
                                     ", expected one <mjloggm>")};
    root = n;
  }
  if (!root) return kifuzan::base::failure{conv::mjlog_error("wrong root: no <mjloggm> element")};
  builder b(true, any_players);
  element e;
  load(e, root);
  if (!b.root(e)) return kifuzan::base::failure{conv::mjlog_error(std::move(b.error()))};
  for (pugi::xml_node n = root.first_child(); n; n = n.next_sibling()) {
    if (n.type() != pugi::node_element) continue;
    load(e, n);
    if (!b.child(e)) return kifuzan::base::failure{conv::mjlog_error(std::move(b.error()))};
  }
  return std::move(b).take();
}

std::optional<Document> read_mjlog_flat(std::string_view xml, bool texts, bool any_players) {
  builder b(texts, any_players);
  if (!flat_reader(xml).run(b)) return std::nullopt;
  return std::move(b).take();
}

kifuzan::base::result<Document, conv::Error> read_mjlog(std::string_view xml, bool any_players) {
  if (auto doc = read_mjlog_flat(xml, true, any_players)) return std::move(*doc);
  // A refusal, or a record beyond the flat form: the tree reader says which,
  // with pugixml's own words for what is not XML.
  return read_mjlog_tree(xml, any_players);
}

std::string_view result_word(Result::Kind kind) noexcept {
  switch (kind) {
    case Result::Kind::none: return "";
    case Result::Kind::win: return "和了";
    case Result::Kind::draw: return "流局";
    case Result::Kind::all_tenpai: return "全員聴牌";
    case Result::Kind::all_noten: return "全員不聴";
    case Result::Kind::nine_kinds: return "九種九牌";
    case Result::Kind::four_riichi: return "四家立直";
    case Result::Kind::triple_ron: return "三家和了";
    case Result::Kind::four_kans: return "四槓散了";
    case Result::Kind::four_winds: return "四風連打";
    case Result::Kind::nagashi: return "流し満貫";
  }
  return "";
}


}  // namespace kifuzan::mjlog
