#include "kifuzan/mjlog/pipeline.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>
#include <variant>
#include <vector>

#include "kifuzan/mjlog/reader.h"
#include "mjai/tile.h"

namespace kifuzan::mjlog {
namespace {

using namespace std::string_view_literals;

constexpr const auto& code_of = mjai::tenhou_codes;

class document_writer {
 public:
  std::string out;

  void raw(std::string_view s) { out.append(s); }
  void ch(char c) { out.push_back(c); }

  void integer(std::int64_t v) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
  }

  // Shortest round-trip text; integral values without a fraction, and large
  // ones in exponent form so that no integer literal exceeds 64 bits.
  void number(double v) {
    if (v == 0) v = 0;  // no "-0"
    char buf[32];
    char* const end = std::fabs(v) < 1e18 ? std::to_chars(buf, buf + sizeof buf, v).ptr
                                          : std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific).ptr;
    out.append(buf, end);
  }

  void string(std::string_view s) {
    static constexpr char hex[] = "0123456789abcdef";
    ch('"');
    std::size_t run = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
      const auto c = static_cast<unsigned char>(s[i]);
      if (c >= 0x20 && c != '"' && c != '\\') continue;
      out.append(s.data() + run, i - run);
      run = i + 1;
      ch('\\');
      switch (c) {
        case '"': ch('"'); break;
        case '\\': ch('\\'); break;
        case '\n': ch('n'); break;
        case '\r': ch('r'); break;
        case '\t': ch('t'); break;
        case '\b': ch('b'); break;
        case '\f': ch('f'); break;
        default:
          raw("u00"sv);
          ch(hex[c >> 4]);
          ch(hex[c & 15]);
      }
    }
    out.append(s.data() + run, s.size() - run);
    ch('"');
  }

  void key(std::string_view k) {
    ch('"');
    raw(k);
    raw("\":"sv);
  }

  template <class Range, class F>
  void list(const Range& r, F&& each) {
    ch('[');
    bool first = true;
    for (const auto& x : r) {
      if (!first) ch(',');
      first = false;
      each(x);
    }
    ch(']');
  }

  void tiles(const auto& r) {
    list(r, [this](mjai::Tile t) { integer(code_of[t.id]); });
  }
  void deltas(const Deltas& d) {
    list(d, [this](std::int32_t v) { integer(v); });
  }

  void action(const Action& a) {
    switch (a.kind) {
      case Action::Kind::tile: integer(code_of[a.value]); break;
      case Action::Kind::number: integer(a.value); break;
      case Action::Kind::text: string(a.text); break;
    }
  }

  void result(const Result& r) {
    ch('[');
    if (r.kind != Result::Kind::none) {
      string(result_word(r.kind));
      if (has_deltas(r.kind)) {
        ch(',');
        deltas(r.deltas);
      }
      for (const Win& w : r.wins) {
        ch(',');
        deltas(w.deltas);
        ch(',');
        ch('[');
        integer(w.who);
        ch(',');
        integer(w.from_who);
        ch(',');
        integer(w.pao_who);
        ch(',');
        string(w.points);
        for (const std::string& y : w.yaku) {
          ch(',');
          string(y);
        }
        ch(']');
      }
    }
    ch(']');
  }

  void kyoku(const Kyoku& k, std::size_t players) {
    ch('[');
    ch('[');
    integer(k.round);
    ch(',');
    integer(k.honba);
    ch(',');
    integer(k.kyotaku);
    raw("],"sv);
    list(k.scores, [this](std::int32_t v) { integer(v); });
    ch(',');
    tiles(k.dora_indicators);
    ch(',');
    tiles(k.ura_indicators);
    for (std::size_t s = 0; s < 4; ++s) {
      ch(',');
      if (s < players) tiles(k.haipai[s]);
      else raw("[]"sv);
      ch(',');
      list(k.seats[s].takes, [this](const Action& a) { action(a); });
      ch(',');
      list(k.seats[s].discards, [this](const Action& a) { action(a); });
    }
    ch(',');
    result(k.result);
    ch(']');
  }
};

// A rough size: about 4 bytes per action, 200 per kyoku besides.
std::size_t estimated_size(const Document& doc) {
  std::size_t n = 512;
  for (const Kyoku& k : doc.log) {
    n += 256;
    for (const conv::SeatActions& s : k.seats) n += 4 * (s.takes.size() + s.discards.size());
  }
  return n;
}

conv::JsonItem int_item(std::int64_t v) {
  conv::JsonItem j;
  j.kind = conv::JsonItem::Kind::int64;
  j.i = v;
  return j;
}

// The reader keeps only the kind of a string in a win's detail list.
conv::JsonItem string_item() {
  conv::JsonItem j;
  j.kind = conv::JsonItem::Kind::string;
  return j;
}

std::vector<conv::ResultItem> result_items(const Result& r) {
  std::vector<conv::ResultItem> items;
  if (r.kind == Result::Kind::none) return items;
  items.reserve(1 + 2 * r.wins.size() + (has_deltas(r.kind) ? 1 : 0));
  items.emplace_back(std::string(result_word(r.kind)));
  if (has_deltas(r.kind)) items.emplace_back(r.deltas);
  for (const Win& w : r.wins) {
    items.emplace_back(w.deltas);
    auto& detail = std::get<std::vector<conv::JsonItem>>(
        items.emplace_back(std::in_place_type<std::vector<conv::JsonItem>>));
    detail.reserve(4 + w.yaku.size());
    detail.push_back(int_item(w.who));
    detail.push_back(int_item(w.from_who));
    detail.push_back(int_item(w.pao_who));
    detail.insert(detail.end(), 1 + w.yaku.size(), string_item());
  }
  return items;
}

}  // namespace

std::string write_tenhou6(const Document& doc, std::optional<std::string_view> ref) {
  document_writer w;
  w.out.reserve(estimated_size(doc));
  w.raw("{\"ver\":"sv);
  w.number(doc.ver);
  w.raw(",\"ref\":"sv);
  w.string(ref ? *ref : std::string_view(doc.ref));
  w.raw(",\"log\":"sv);
  w.list(doc.log, [&w, &doc](const Kyoku& k) { w.kyoku(k, doc.players); });
  if (!doc.connection.empty()) {
    w.raw(",\"connection\":"sv);
    w.list(doc.connection, [&w](const Connection& c) {
      w.raw("{\"what\":"sv);
      w.integer(c.what);
      w.raw(",\"log\":"sv);
      w.integer(c.log);
      w.raw(",\"who\":"sv);
      w.integer(c.who);
      w.raw(",\"step\":"sv);
      w.integer(c.step);
      w.ch('}');
    });
  }
  w.raw(",\"ratingc\":"sv);
  w.string(doc.ratingc);
  w.raw(",\"rule\":{\"disp\":"sv);
  w.string(doc.rule.disp);
  w.raw(",\"aka53\":"sv);
  w.integer(doc.rule.aka53);
  w.raw(",\"aka52\":"sv);
  w.integer(doc.rule.aka52);
  w.raw(",\"aka51\":"sv);
  w.integer(doc.rule.aka51);
  w.ch('}');
  if (doc.lobby) {
    w.raw(",\"lobby\":"sv);
    w.integer(*doc.lobby);
  }
  auto strings = [&w](const auto& r) { w.list(r, [&w](const std::string& s) { w.string(s); }); };
  auto numbers = [&w](const std::vector<double>& r) { w.list(r, [&w](double v) { w.number(v); }); };
  w.raw(",\"dan\":"sv);
  strings(doc.dan);
  w.raw(",\"rate\":"sv);
  numbers(doc.rate);
  w.raw(",\"sx\":"sv);
  strings(doc.sx);
  w.raw(",\"sc\":"sv);
  numbers(doc.sc);
  w.raw(",\"name\":"sv);
  strings(doc.name);
  w.ch('}');
  return std::move(w.out);
}

conv::RawLog to_raw_log(Document doc) {
  conv::RawLog raw;
  raw.log.reserve(doc.log.size());
  for (Kyoku& k : doc.log) {
    conv::KyokuEntry& e = raw.log.emplace_back();
    e.results = result_items(k.result);
    static_cast<conv::KyokuPlay&>(e) = std::move(k);
    if (doc.players == 3) e.no_hand = 8;  // as parsing [] for seat 3's hand marks it
  }
  raw.name = std::move(doc.name);
  raw.rule = std::move(doc.rule);
  raw.ratingc = std::move(doc.ratingc);
  raw.lobby = doc.lobby;
  raw.dan = std::move(doc.dan);
  raw.rate = std::move(doc.rate);
  raw.sx = std::move(doc.sx);
  return raw;
}

kifuzan::base::result<conv::Lines, conv::Error> mjlog_to_mjai_lines(std::string_view xml) {
  return mjlog_to_mjai_lines(xml, conv::Options{});
}

kifuzan::base::result<conv::Lines, conv::Error> mjlog_to_mjai_lines(std::string_view xml, const conv::Options& options) {
  // The converter reads no points or yaku text, so none is made.
  std::optional<Document> doc = read_mjlog_flat(xml, false, options.any_players);
  if (!doc) {
    auto tree = read_mjlog_tree(xml, options.any_players);
    if (!tree) return kifuzan::base::failure{std::move(tree).error()};
    doc = std::move(tree).value();
  }
  return conv::convert_raw_log(to_raw_log(std::move(*doc)), options);
}

}  // namespace kifuzan::mjlog
