// The writer works on raw pointers into a buffer sized from
// max_event_size, so each key and tile is one fixed-size copy.
#include "mjai/json_writer.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace mjai {
namespace {

// Room for the 8-byte copies below to run past what they mean to write.
constexpr std::size_t slop = 16;

template <std::size_t N>
char* lit(char* p, const char (&s)[N]) noexcept {
  std::memcpy(p, s, N - 1);
  return p + N - 1;
}

struct quoted {
  char text[8];
  std::uint8_t size;
};

constexpr std::array<quoted, tile_count + 1> quoted_tiles = [] {
  std::array<quoted, tile_count + 1> q{};
  constexpr const char* names[tile_count + 1] = {
      "1m", "2m", "3m", "4m", "5m", "6m", "7m", "8m", "9m", "1p", "2p", "3p", "4p",
      "5p", "6p", "7p", "8p", "9p", "1s", "2s", "3s", "4s", "5s", "6s", "7s", "8s",
      "9s", "E",  "S",  "W",  "N",  "P",  "F",  "C",  "5mr", "5pr", "5sr", "?", "?"};
  for (std::size_t i = 0; i <= tile_count; ++i) {
    std::size_t n = 0;
    q[i].text[n++] = '"';
    for (const char* c = names[i]; *c; ++c) q[i].text[n++] = *c;
    q[i].text[n++] = '"';
    q[i].size = static_cast<std::uint8_t>(n);
  }
  return q;
}();

char* put_tile(char* p, Tile t) noexcept {
  const quoted& q = quoted_tiles[t.id < tile_count ? t.id : tile_count];
  std::memcpy(p, q.text, 8);
  return p + q.size;
}

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

char* put_uint(char* p, std::uint32_t v) noexcept {
  if (v < 10) {
    *p = static_cast<char>('0' + v);
    return p + 1;
  }
  if (v < 100) {
    std::memcpy(p, digit_pairs + 2 * v, 2);
    return p + 2;
  }
  char buf[10];
  char* end = buf + sizeof buf;
  char* b = end;
  while (v >= 100) {
    const unsigned r = v % 100;
    v /= 100;
    b -= 2;
    std::memcpy(b, digit_pairs + 2 * r, 2);
  }
  if (v >= 10) {
    b -= 2;
    std::memcpy(b, digit_pairs + 2 * v, 2);
  } else {
    *--b = static_cast<char>('0' + v);
  }
  const auto n = static_cast<std::size_t>(end - b);
  std::memcpy(p, b, n);
  return p + n;
}

char* put_int(char* p, std::int32_t v) noexcept {
  auto u = static_cast<std::uint32_t>(v);
  if (v < 0) {
    *p++ = '-';
    u = 0u - u;
  }
  return put_uint(p, u);
}

template <std::size_t N>
char* put_tiles(char* p, const std::array<Tile, N>& ts) noexcept {
  *p++ = '[';
  p = put_tile(p, ts[0]);
  for (std::size_t i = 1; i < N; ++i) {
    *p++ = ',';
    p = put_tile(p, ts[i]);
  }
  *p++ = ']';
  return p;
}

// The first n (3 or 4) of a seat list: a three-seat game leaves out the
// absent seat 3.
char* put_ints(char* p, const std::array<std::int32_t, 4>& v, std::size_t n = 4) noexcept {
  *p++ = '[';
  p = put_int(p, v[0]);
  for (std::size_t i = 1; i < n; ++i) {
    *p++ = ',';
    p = put_int(p, v[i]);
  }
  *p++ = ']';
  return p;
}

char* put_string(char* p, std::string_view s) noexcept {
  static constexpr char hex[] = "0123456789abcdef";
  *p++ = '"';
  std::size_t run = 0;  // start of the pending unescaped run
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    std::memcpy(p, s.data() + run, i - run);
    p += i - run;
    run = i + 1;
    *p++ = '\\';
    switch (c) {
      case '"': *p++ = '"'; break;
      case '\\': *p++ = '\\'; break;
      case '\b': *p++ = 'b'; break;
      case '\t': *p++ = 't'; break;
      case '\n': *p++ = 'n'; break;
      case '\f': *p++ = 'f'; break;
      case '\r': *p++ = 'r'; break;
      default:
        p = lit(p, "u00");
        *p++ = hex[c >> 4];
        *p++ = hex[c & 15];
    }
  }
  std::memcpy(p, s.data() + run, s.size() - run);
  p += s.size() - run;
  *p++ = '"';
  return p;
}

char* actor(char* p, Seat s) noexcept { return put_uint(lit(p, ",\"actor\":"), s); }
char* target(char* p, Seat s) noexcept { return put_uint(lit(p, ",\"target\":"), s); }
char* pai(char* p, Tile t) noexcept { return put_tile(lit(p, ",\"pai\":"), t); }
template <std::size_t N>
char* consumed(char* p, const std::array<Tile, N>& ts) noexcept {
  return put_tiles(lit(p, ",\"consumed\":"), ts);
}

struct writer {
  char* p;

  char* operator()(const None&) noexcept { return lit(p, "{\"type\":\"none\"}"); }
  char* operator()(const StartGame& e) noexcept {
    p = lit(p, "{\"type\":\"start_game\",\"names\":[");
    for (std::size_t i = 0; i < e.seats; ++i) {
      if (i) *p++ = ',';
      p = put_string(p, (*e.names)[i]);
    }
    p = put_uint(lit(p, "],\"kyoku_first\":"), e.kyoku_first);
    return e.aka_flag ? lit(p, ",\"aka_flag\":true}") : lit(p, ",\"aka_flag\":false}");
  }
  char* operator()(const StartKyoku& e) noexcept {
    p = put_tile(lit(p, "{\"type\":\"start_kyoku\",\"bakaze\":"), e.bakaze);
    p = put_tile(lit(p, ",\"dora_marker\":"), e.dora_marker);
    p = put_uint(lit(p, ",\"kyoku\":"), e.kyoku);
    p = put_uint(lit(p, ",\"honba\":"), e.honba);
    p = put_uint(lit(p, ",\"kyotaku\":"), e.kyotaku);
    p = put_uint(lit(p, ",\"oya\":"), e.oya);
    p = put_ints(lit(p, ",\"scores\":"), *e.scores, e.seats);
    p = lit(p, ",\"tehais\":[");
    for (std::size_t i = 0; i < e.seats; ++i) {
      if (i) *p++ = ',';
      p = put_tiles(p, (*e.tehais)[i]);
    }
    return lit(p, "]}");
  }
  char* operator()(const Tsumo& e) noexcept {
    p = pai(actor(lit(p, "{\"type\":\"tsumo\""), e.actor), e.pai);
    *p++ = '}';
    return p;
  }
  char* operator()(const Dahai& e) noexcept {
    p = pai(actor(lit(p, "{\"type\":\"dahai\""), e.actor), e.pai);
    return e.tsumogiri ? lit(p, ",\"tsumogiri\":true}") : lit(p, ",\"tsumogiri\":false}");
  }
  template <class Call, std::size_t N>
  char* call(const char (&head)[N], const Call& e) noexcept {
    p = consumed(pai(target(actor(lit(p, head), e.actor), e.target), e.pai), e.consumed);
    *p++ = '}';
    return p;
  }
  char* operator()(const Chi& e) noexcept { return call("{\"type\":\"chi\"", e); }
  char* operator()(const Pon& e) noexcept { return call("{\"type\":\"pon\"", e); }
  char* operator()(const Daiminkan& e) noexcept { return call("{\"type\":\"daiminkan\"", e); }
  char* operator()(const Kakan& e) noexcept {
    p = consumed(pai(actor(lit(p, "{\"type\":\"kakan\""), e.actor), e.pai), e.consumed);
    *p++ = '}';
    return p;
  }
  char* operator()(const Ankan& e) noexcept {
    p = consumed(actor(lit(p, "{\"type\":\"ankan\""), e.actor), e.consumed);
    *p++ = '}';
    return p;
  }
  char* operator()(const Dora& e) noexcept {
    p = put_tile(lit(p, "{\"type\":\"dora\",\"dora_marker\":"), e.dora_marker);
    *p++ = '}';
    return p;
  }
  char* operator()(const Reach& e) noexcept {
    p = actor(lit(p, "{\"type\":\"reach\""), e.actor);
    *p++ = '}';
    return p;
  }
  char* operator()(const ReachAccepted& e) noexcept {
    p = actor(lit(p, "{\"type\":\"reach_accepted\""), e.actor);
    *p++ = '}';
    return p;
  }
  char* operator()(const Hora& e) noexcept {
    p = target(actor(lit(p, "{\"type\":\"hora\""), e.actor), e.target);
    if (e.deltas) p = put_ints(lit(p, ",\"deltas\":"), *e.deltas, e.seats);
    if (e.ura_markers) {
      p = lit(p, ",\"ura_markers\":[");
      bool first = true;
      for (Tile t : *e.ura_markers) {
        if (!first) *p++ = ',';
        first = false;
        p = put_tile(p, t);
      }
      *p++ = ']';
    }
    *p++ = '}';
    return p;
  }
  char* operator()(const Ryukyoku& e) noexcept {
    p = lit(p, "{\"type\":\"ryukyoku\"");
    if (e.deltas) p = put_ints(lit(p, ",\"deltas\":"), *e.deltas, e.seats);
    *p++ = '}';
    return p;
  }
  char* operator()(const EndKyoku&) noexcept { return lit(p, "{\"type\":\"end_kyoku\"}"); }
  char* operator()(const EndGame&) noexcept { return lit(p, "{\"type\":\"end_game\"}"); }
  char* operator()(const Kita& e) noexcept {
    p = e.name == Kita::Name::kita ? lit(p, "{\"type\":\"kita\"") : lit(p, "{\"type\":\"nukidora\"");
    p = pai(actor(p, e.actor), e.pai);
    *p++ = '}';
    return p;
  }
};

// Sizes: an int32 is at most 11 characters, a quoted tile 5, a u8 3.
constexpr std::size_t ints_size = 2 + 4 * 12;
constexpr std::size_t start_kyoku_size = 192 + ints_size + 4 * (3 + 13 * 6);
static_assert(detail::max_small_event_size == 128 + slop);

}  // namespace

std::size_t detail::max_large_event_size(const Event& e) noexcept {
  switch (e.index()) {
    case variant_index<StartGame>: {
      std::size_t n = 96;
      for (const std::string& s : *std::get_if<StartGame>(&e)->names) n += 3 + 6 * s.size();
      return n + slop;
    }
    case variant_index<StartKyoku>: return start_kyoku_size + slop;
    case variant_index<Hora>: {
      const auto* ura = std::get_if<Hora>(&e)->ura_markers;
      return 96 + ints_size + (ura ? 6 * ura->size() : 0) + slop;
    }
    default: return max_small_event_size;
  }
}

char* write_event(char* p, const Event& e) noexcept { return std::visit(writer{p}, e); }

void write_event(std::string& out, const Event& e) {
  const std::size_t old = out.size();
  out.resize(old + max_event_size(e));
  char* end = write_event(out.data() + old, e);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

void write_json_string(std::string& out, std::string_view s) {
  const std::size_t old = out.size();
  out.resize(old + 2 + 6 * s.size());
  char* end = put_string(out.data() + old, s);
  out.resize(static_cast<std::size_t>(end - out.data()));
}

}  // namespace mjai
