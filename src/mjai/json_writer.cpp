#include "mjai/json_writer.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace mjai {
namespace {

constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Quoted tile names, ready to copy.
constexpr std::array<std::string_view, tile_count> quoted_tiles = {
    "\"1m\"", "\"2m\"", "\"3m\"", "\"4m\"", "\"5m\"", "\"6m\"", "\"7m\"", "\"8m\"", "\"9m\"",
    "\"1p\"", "\"2p\"", "\"3p\"", "\"4p\"", "\"5p\"", "\"6p\"", "\"7p\"", "\"8p\"", "\"9p\"",
    "\"1s\"", "\"2s\"", "\"3s\"", "\"4s\"", "\"5s\"", "\"6s\"", "\"7s\"", "\"8s\"", "\"9s\"",
    "\"E\"",  "\"S\"",  "\"W\"",  "\"N\"",  "\"P\"",  "\"F\"",  "\"C\"",
    "\"5mr\"", "\"5pr\"", "\"5sr\"", "\"?\""};

void put(std::string& out, std::string_view s) { out.append(s.data(), s.size()); }

// Unsigned decimal, written backwards through the digit-pair table.
void put_uint(std::string& out, std::uint32_t v) {
  char buf[10];
  char* end = buf + sizeof buf;
  char* p = end;
  while (v >= 100) {
    const unsigned r = v % 100;
    v /= 100;
    p -= 2;
    std::memcpy(p, digit_pairs + 2 * r, 2);
  }
  if (v >= 10) {
    p -= 2;
    std::memcpy(p, digit_pairs + 2 * v, 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
  out.append(p, static_cast<std::size_t>(end - p));
}

void put_int(std::string& out, std::int32_t v) {
  std::uint32_t u = static_cast<std::uint32_t>(v);
  if (v < 0) {
    out.push_back('-');
    u = 0u - u;
  }
  put_uint(out, u);
}

void put_tile(std::string& out, Tile t) { put(out, quoted_tiles[t.id < tile_count ? t.id : 37]); }

template <std::size_t N>
void put_tiles(std::string& out, const std::array<Tile, N>& ts) {
  out.push_back('[');
  for (std::size_t i = 0; i < N; ++i) {
    if (i) out.push_back(',');
    put_tile(out, ts[i]);
  }
  out.push_back(']');
}

void put_ints(std::string& out, const std::array<std::int32_t, 4>& v) {
  out.push_back('[');
  for (std::size_t i = 0; i < 4; ++i) {
    if (i) out.push_back(',');
    put_int(out, v[i]);
  }
  out.push_back(']');
}

// ,"key":  -- keys are written with their separators in one copy.
void key(std::string& out, std::string_view quoted_key_colon) {
  out.push_back(',');
  put(out, quoted_key_colon);
}

void actor(std::string& out, Seat s) {
  put(out, ",\"actor\":");
  put_uint(out, s);
}
void target(std::string& out, Seat s) {
  put(out, ",\"target\":");
  put_uint(out, s);
}
void pai(std::string& out, Tile t) {
  put(out, ",\"pai\":");
  put_tile(out, t);
}
template <std::size_t N>
void consumed(std::string& out, const std::array<Tile, N>& ts) {
  put(out, ",\"consumed\":");
  put_tiles(out, ts);
}

struct writer {
  std::string& out;

  void operator()(const None&) { put(out, "{\"type\":\"none\"}"); }
  void operator()(const StartGame& e) {
    put(out, "{\"type\":\"start_game\",\"names\":[");
    for (std::size_t i = 0; i < 4; ++i) {
      if (i) out.push_back(',');
      write_json_string(out, e.names[i]);
    }
    put(out, "],\"kyoku_first\":");
    put_uint(out, e.kyoku_first);
    put(out, e.aka_flag ? ",\"aka_flag\":true}" : ",\"aka_flag\":false}");
  }
  void operator()(const StartKyoku& e) {
    put(out, "{\"type\":\"start_kyoku\",\"bakaze\":");
    put_tile(out, e.bakaze);
    key(out, "\"dora_marker\":");
    put_tile(out, e.dora_marker);
    key(out, "\"kyoku\":");
    put_uint(out, e.kyoku);
    key(out, "\"honba\":");
    put_uint(out, e.honba);
    key(out, "\"kyotaku\":");
    put_uint(out, e.kyotaku);
    key(out, "\"oya\":");
    put_uint(out, e.oya);
    key(out, "\"scores\":");
    put_ints(out, e.scores);
    put(out, ",\"tehais\":[");
    for (std::size_t i = 0; i < 4; ++i) {
      if (i) out.push_back(',');
      put_tiles(out, e.tehais[i]);
    }
    put(out, "]}");
  }
  void operator()(const Tsumo& e) {
    put(out, "{\"type\":\"tsumo\"");
    actor(out, e.actor);
    pai(out, e.pai);
    out.push_back('}');
  }
  void operator()(const Dahai& e) {
    put(out, "{\"type\":\"dahai\"");
    actor(out, e.actor);
    pai(out, e.pai);
    put(out, e.tsumogiri ? ",\"tsumogiri\":true}" : ",\"tsumogiri\":false}");
  }
  template <class Call>
  void call(std::string_view head, const Call& e) {
    put(out, head);
    actor(out, e.actor);
    target(out, e.target);
    pai(out, e.pai);
    consumed(out, e.consumed);
    out.push_back('}');
  }
  void operator()(const Chi& e) { call("{\"type\":\"chi\"", e); }
  void operator()(const Pon& e) { call("{\"type\":\"pon\"", e); }
  void operator()(const Daiminkan& e) { call("{\"type\":\"daiminkan\"", e); }
  void operator()(const Kakan& e) {
    put(out, "{\"type\":\"kakan\"");
    actor(out, e.actor);
    pai(out, e.pai);
    consumed(out, e.consumed);
    out.push_back('}');
  }
  void operator()(const Ankan& e) {
    put(out, "{\"type\":\"ankan\"");
    actor(out, e.actor);
    consumed(out, e.consumed);
    out.push_back('}');
  }
  void operator()(const Dora& e) {
    put(out, "{\"type\":\"dora\",\"dora_marker\":");
    put_tile(out, e.dora_marker);
    out.push_back('}');
  }
  void operator()(const Reach& e) {
    put(out, "{\"type\":\"reach\"");
    actor(out, e.actor);
    out.push_back('}');
  }
  void operator()(const ReachAccepted& e) {
    put(out, "{\"type\":\"reach_accepted\"");
    actor(out, e.actor);
    out.push_back('}');
  }
  void operator()(const Hora& e) {
    put(out, "{\"type\":\"hora\"");
    actor(out, e.actor);
    target(out, e.target);
    if (e.deltas) {
      key(out, "\"deltas\":");
      put_ints(out, *e.deltas);
    }
    if (e.ura_markers) {
      put(out, ",\"ura_markers\":[");
      bool first = true;
      for (Tile t : *e.ura_markers) {
        if (!first) out.push_back(',');
        first = false;
        put_tile(out, t);
      }
      out.push_back(']');
    }
    out.push_back('}');
  }
  void operator()(const Ryukyoku& e) {
    put(out, "{\"type\":\"ryukyoku\"");
    if (e.deltas) {
      key(out, "\"deltas\":");
      put_ints(out, *e.deltas);
    }
    out.push_back('}');
  }
  void operator()(const EndKyoku&) { put(out, "{\"type\":\"end_kyoku\"}"); }
  void operator()(const EndGame&) { put(out, "{\"type\":\"end_game\"}"); }
};

}  // namespace

void write_json_string(std::string& out, std::string_view s) {
  static constexpr char hex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the pending unescaped run
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    switch (c) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '\b': out.push_back('b'); break;
      case '\t': out.push_back('t'); break;
      case '\n': out.push_back('n'); break;
      case '\f': out.push_back('f'); break;
      case '\r': out.push_back('r'); break;
      default:
        out.append("u00", 3);
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
}

void write_event(std::string& out, const Event& e) { std::visit(writer{out}, e); }

}  // namespace mjai
