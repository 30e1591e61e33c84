// Structure-aware harness: inputs that parse as JSON are mutated as a tree
// (tile codes, list order, call texts, seats) and written back as JSON, so
// most runs get past the reader and into decoding and turn reconstruction.
// Anything that does not parse falls back to libFuzzer's byte mutations.
#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "invariants.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t max_size);

namespace {

// A JSON tree that keeps numbers and strings as their source text, so that
// an unmutated value is written back byte for byte.
struct Json {
  enum Kind : std::uint8_t { null_, true_, false_, number, string, array, object };
  Kind kind = null_;
  std::string text;  // number text, or string contents without the quotes (escapes kept)
  std::vector<Json> items;         // array elements, or object values
  std::vector<std::string> keys;   // object keys as written, one per value
};

class Reader {
 public:
  explicit Reader(std::string_view s) : s_(s) {}

  bool document(Json& out) {
    if (!value(out, 0)) return false;
    ws();
    return i_ == s_.size();
  }

 private:
  static constexpr int max_depth = 160;

  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool literal(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }
  bool string(std::string& out) {
    if (i_ >= s_.size() || s_[i_] != '"') return false;
    const std::size_t b = ++i_;
    while (i_ < s_.size() && s_[i_] != '"') {
      if (static_cast<unsigned char>(s_[i_]) < 0x20) return false;
      if (s_[i_] == '\\') ++i_;
      ++i_;
    }
    if (i_ >= s_.size()) return false;
    out.assign(s_.substr(b, i_ - b));
    ++i_;
    return true;
  }
  bool value(Json& out, int depth) {
    if (depth > max_depth) return false;
    ws();
    if (i_ >= s_.size()) return false;
    const char c = s_[i_];
    if (c == '{') {
      out.kind = Json::object;
      ++i_;
      ws();
      if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
      for (;;) {
        ws();
        std::string key;
        if (!string(key)) return false;
        ws();
        if (i_ >= s_.size() || s_[i_] != ':') return false;
        ++i_;
        out.items.emplace_back();
        if (!value(out.items.back(), depth + 1)) return false;
        out.keys.push_back(std::move(key));
        ws();
        if (i_ >= s_.size()) return false;
        if (s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (s_[i_] == '}') return ++i_, true;
        return false;
      }
    }
    if (c == '[') {
      out.kind = Json::array;
      ++i_;
      ws();
      if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
      for (;;) {
        out.items.emplace_back();
        if (!value(out.items.back(), depth + 1)) return false;
        ws();
        if (i_ >= s_.size()) return false;
        if (s_[i_] == ',') {
          ++i_;
          continue;
        }
        if (s_[i_] == ']') return ++i_, true;
        return false;
      }
    }
    if (c == '"') {
      out.kind = Json::string;
      return string(out.text);
    }
    if (literal("null")) return out.kind = Json::null_, true;
    if (literal("true")) return out.kind = Json::true_, true;
    if (literal("false")) return out.kind = Json::false_, true;
    const std::size_t b = i_;
    while (i_ < s_.size() && std::strchr("+-.eE0123456789", s_[i_]) && s_[i_] != '\0') ++i_;
    if (i_ == b) return false;
    out.kind = Json::number;
    out.text.assign(s_.substr(b, i_ - b));
    return true;
  }

  std::string_view s_;
  std::size_t i_ = 0;
};

void write(const Json& j, std::string& out) {
  switch (j.kind) {
    case Json::null_: out += "null"; break;
    case Json::true_: out += "true"; break;
    case Json::false_: out += "false"; break;
    case Json::number: out += j.text; break;
    case Json::string:
      out += '"';
      out += j.text;
      out += '"';
      break;
    case Json::array:
      out += '[';
      for (std::size_t i = 0; i < j.items.size(); ++i) {
        if (i) out += ',';
        write(j.items[i], out);
      }
      out += ']';
      break;
    case Json::object:
      out += '{';
      for (std::size_t i = 0; i < j.items.size(); ++i) {
        if (i) out += ',';
        out += '"';
        out += j.keys[i];
        out += "\":";
        write(j.items[i], out);
      }
      out += '}';
      break;
  }
}

class Rng {
 public:
  explicit Rng(unsigned init) : s_(init * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t next() {
    std::uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n); n > 0.
  std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
  bool chance(unsigned one_in) { return below(one_in) == 0; }

 private:
  std::uint64_t s_;
};

constexpr int tile_codes[] = {11, 12, 13, 14, 15, 16, 17, 18, 19, 21, 22, 23, 24, 25, 26, 27, 28, 29, 31,
                              32, 33, 34, 35, 36, 37, 38, 39, 41, 42, 43, 44, 45, 46, 47, 51, 52, 53, 0};

Json number(long v) {
  Json j;
  j.kind = Json::number;
  j.text = std::to_string(v);
  return j;
}
Json string(std::string s) {
  Json j;
  j.kind = Json::string;
  j.text = std::move(s);
  return j;
}

int random_tile(Rng& r) {
  // Mostly real tiles; 0 (unknown) now and then.
  return tile_codes[r.below(r.chance(8) ? std::size(tile_codes) : std::size(tile_codes) - 1)];
}

std::string two(int code) {
  char b[3];
  std::snprintf(b, sizeof b, "%02d", code % 100);
  return b;
}

// Same tile, or its red/plain twin, as calls usually consume.
int near_tile(Rng& r, int t) {
  if (r.chance(6)) return random_tile(r);
  if (t == 15 && r.chance(3)) return 51;
  if (t == 25 && r.chance(3)) return 52;
  if (t == 35 && r.chance(3)) return 53;
  if (t >= 51 && t <= 53 && r.chance(2)) return (t - 50) * 10 + 5;
  return t;
}

// A well-formed call or riichi text of a random kind, marker at an allowed
// position; the mutations after it may break it again.
std::string random_call(Rng& r, bool take_side) {
  const int t = random_tile(r);
  const std::string a = two(t), b = two(near_tile(r, t)), c = two(near_tile(r, t)), d = two(near_tile(r, t));
  if (take_side) {
    switch (r.below(7)) {
      case 0: {  // chi: called tile first, then two neighbours
        const int base = (t >= 11 && t <= 37 && t % 10 <= 7) ? t : 13;
        return "c" + two(base) + two(base + 1) + two(base + 2);
      }
      case 1: return "p" + a + b + c;
      case 2: return a + "p" + b + c;
      case 3: return a + b + "p" + c;
      case 4: return "m" + a + b + c + d;
      case 5: return a + "m" + b + c + d;
      default: return a + b + c + "m" + d;
    }
  }
  switch (r.below(8)) {
    case 0: return "k" + a + b + c + d;
    case 1: return a + "k" + b + c + d;
    case 2: return a + b + "k" + c + d;
    case 3: return a + b + c + "a" + d;
    case 4: return "r60";
    case 5: return "f44";  // a kita, in a three-player record
    case 6: return "f" + a;
    default: return "r" + a;
  }
}

// Small edits of an existing call text: move the marker, change digits,
// change its length.
std::string mutate_call(Rng& r, std::string s) {
  if (s.find('\\') != std::string::npos || s.find('"') != std::string::npos) return random_call(r, r.chance(2));
  if (s.empty()) return random_call(r, r.chance(2));
  std::size_t marker = std::string::npos;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') {
      marker = i;
      break;
    }
  switch (r.below(7)) {
    case 0:  // move the marker letter
      if (marker != std::string::npos) {
        const char m = s[marker];
        s.erase(marker, 1);
        s.insert(r.below(s.size() + 1), 1, m);
      }
      break;
    case 1: {  // one digit
      const std::size_t i = r.below(s.size());
      if (i != marker) s[i] = static_cast<char>('0' + r.below(10));
      break;
    }
    case 2: {  // one digit pair becomes another tile code
      std::vector<std::size_t> starts;
      for (std::size_t i = 0; i + 1 < s.size(); ++i)
        if (i != marker && i + 1 != marker) starts.push_back(i);
      if (!starts.empty()) {
        const std::size_t i = starts[r.below(starts.size())];
        const std::string t = two(random_tile(r));
        s[i] = t[0];
        s[i + 1] = t[1];
      }
      break;
    }
    case 3: {  // another marker letter
      static constexpr char markers[] = "cpmkar";
      const char m = markers[r.below(6)];
      if (marker != std::string::npos)
        s[marker] = m;
      else
        s.insert(r.below(s.size() + 1), 1, m);
      break;
    }
    case 4:  // wrong length
      if (r.chance(2) && !s.empty())
        s.erase(r.below(s.size()), 1);
      else
        s.insert(r.below(s.size() + 1), 1, static_cast<char>('0' + r.below(10)));
      break;
    case 5:  // a second marker
      s.insert(r.below(s.size() + 1), 1, "cpmka"[r.below(5)]);
      break;
    default:
      s = random_call(r, r.chance(2));
  }
  return s;
}

Json* log_of(Json& root) {
  if (root.kind == Json::object) {
    for (std::size_t i = 0; i < root.items.size(); ++i)
      if (root.keys[i] == "log" && root.items[i].kind == Json::array) return &root.items[i];
    return nullptr;
  }
  if (root.kind == Json::array && !root.items.empty() && root.items[0].kind == Json::array) return &root.items[0];
  return nullptr;
}

Json* rule_of(Json& root) {
  if (root.kind == Json::object) {
    for (std::size_t i = 0; i < root.items.size(); ++i)
      if (root.keys[i] == "rule") return &root.items[i];
    return nullptr;
  }
  if (root.kind == Json::array && root.items.size() > 2) return &root.items[2];
  return nullptr;
}

void collect(Json& j, Json::Kind kind, std::vector<Json*>& out) {
  if (j.kind == kind) out.push_back(&j);
  for (auto& i : j.items) collect(i, kind, out);
}

void collect_arrays(Json& j, std::vector<Json*>& out) { collect(j, Json::array, out); }

bool is_take_discard(std::size_t index) { return index >= 5 && index <= 15 && (index - 4) % 3 != 0; }

// The kyoku arrays of the log, and for each its take and discard lists.
struct Target {
  Json* kyoku = nullptr;
  std::vector<Json*> lists;  // take/discard lists of this kyoku
};

Target pick_kyoku(Rng& r, Json& root) {
  Target t;
  Json* log = log_of(root);
  if (!log || log->items.empty()) return t;
  std::vector<Json*> kyokus;
  for (auto& k : log->items)
    if (k.kind == Json::array) kyokus.push_back(&k);
  if (kyokus.empty()) return t;
  t.kyoku = kyokus[r.below(kyokus.size())];
  for (std::size_t i = 0; i < t.kyoku->items.size(); ++i)
    if (is_take_discard(i) && t.kyoku->items[i].kind == Json::array) t.lists.push_back(&t.kyoku->items[i]);
  return t;
}

Json* pick_list(Rng& r, Json& root) {
  Target t = pick_kyoku(r, root);
  if (!t.lists.empty() && !r.chance(5)) return t.lists[r.below(t.lists.size())];
  // Any array: haipai, dora lists, results, names, the log itself.
  std::vector<Json*> arrays;
  collect_arrays(t.kyoku ? *t.kyoku : root, arrays);
  if (arrays.empty()) return nullptr;
  return arrays[r.below(arrays.size())];
}

bool is_take_list(const Json& kyoku, const Json* list) {
  for (std::size_t i = 5; i < kyoku.items.size() && i <= 14; i += 3)
    if (&kyoku.items[i] == list) return true;
  return false;
}

// `old` is what strtol read, which saturates at LONG_MIN and LONG_MAX for
// the huge numbers that byte mutations leave behind: a step goes away from
// the end it is at, so the sum never overflows.
long new_number(Rng& r, long old) {
  switch (r.below(8)) {
    case 0:
    case 1: {
      const long d = static_cast<long>(r.below(3)) + 1;
      const bool up = r.chance(2) ? old <= LONG_MAX - d : old < LONG_MIN + d;
      return up ? old + d : old - d;
    }
    case 2:
    case 3: return random_tile(r);
    case 4: return 60;
    case 5: return 0;
    case 6: {
      static constexpr long edges[] = {-1, 1, 2, 3, 4, 10, 16, 20, 50, 54, 255, 256, 2147483647, -2147483648L};
      return edges[r.below(std::size(edges))];
    }
    default: return static_cast<long>(r.below(61));
  }
}

bool mutate_once(Rng& r, Json& root) {
  switch (r.below(14)) {
    case 0:
    case 1: {  // change a number
      std::vector<Json*> nums;
      Target t = pick_kyoku(r, root);
      collect(t.kyoku && !r.chance(6) ? *t.kyoku : root, Json::number, nums);
      if (nums.empty()) return false;
      Json* n = nums[r.below(nums.size())];
      n->text = std::to_string(new_number(r, std::strtol(n->text.c_str(), nullptr, 10)));
      return true;
    }
    case 2: {  // swap two entries of a list
      Json* l = pick_list(r, root);
      if (!l || l->items.size() < 2) return false;
      const std::size_t i = r.below(l->items.size());
      // Neighbours most of the time: order is what turn reconstruction reads.
      std::size_t j = r.chance(2) ? (i + 1) % l->items.size() : r.below(l->items.size());
      std::swap(l->items[i], l->items[j]);
      return true;
    }
    case 3: {  // drop an entry
      Json* l = pick_list(r, root);
      if (!l || l->items.empty()) return false;
      l->items.erase(l->items.begin() + static_cast<long>(r.below(l->items.size())));
      return true;
    }
    case 4: {  // repeat an entry
      Json* l = pick_list(r, root);
      if (!l || l->items.empty() || l->items.size() > 512) return false;
      const std::size_t i = r.below(l->items.size());
      Json copy = l->items[i];
      l->items.insert(l->items.begin() + static_cast<long>(r.chance(2) ? i + 1 : r.below(l->items.size() + 1)),
                      std::move(copy));
      return true;
    }
    case 5:
    case 6: {  // replace or insert a call text
      Target t = pick_kyoku(r, root);
      if (t.lists.empty()) return false;
      Json* l = t.lists[r.below(t.lists.size())];
      const bool take = is_take_list(*t.kyoku, l);
      std::vector<std::size_t> texts;
      for (std::size_t i = 0; i < l->items.size(); ++i)
        if (l->items[i].kind == Json::string) texts.push_back(i);
      if (!texts.empty() && r.chance(2)) {
        Json& s = l->items[texts[r.below(texts.size())]];
        s.text = mutate_call(r, std::move(s.text));
      } else if (!l->items.empty() && r.chance(2)) {
        l->items[r.below(l->items.size())] = string(random_call(r, take != r.chance(8)));
      } else {
        l->items.insert(l->items.begin() + static_cast<long>(r.below(l->items.size() + 1)),
                        string(random_call(r, take != r.chance(8))));
      }
      return true;
    }
    case 7: {  // swap two seats
      Target t = pick_kyoku(r, root);
      if (!t.kyoku || t.kyoku->items.size() < 16) return false;
      const std::size_t a = r.below(4), b = r.below(4);
      if (a == b) return false;
      switch (r.below(3)) {
        case 0: std::swap(t.kyoku->items[5 + 3 * a], t.kyoku->items[5 + 3 * b]); break;
        case 1: std::swap(t.kyoku->items[6 + 3 * a], t.kyoku->items[6 + 3 * b]); break;
        default:
          for (std::size_t k = 4; k <= 6; ++k) std::swap(t.kyoku->items[k + 3 * a], t.kyoku->items[k + 3 * b]);
      }
      return true;
    }
    case 8: {  // truncate a list
      Json* l = pick_list(r, root);
      if (!l || l->items.empty()) return false;
      l->items.resize(r.below(l->items.size()));
      return true;
    }
    case 9: {  // insert a tile, 60 or 0 into a take/discard list
      Target t = pick_kyoku(r, root);
      if (t.lists.empty()) return false;
      Json* l = t.lists[r.below(t.lists.size())];
      const long v = r.chance(3) ? 60 : r.chance(6) ? 0 : random_tile(r);
      l->items.insert(l->items.begin() + static_cast<long>(r.below(l->items.size() + 1)), number(v));
      return true;
    }
    case 10: {  // move an entry from one seat's list to another's
      Target t = pick_kyoku(r, root);
      if (t.lists.size() < 2) return false;
      Json* from = t.lists[r.below(t.lists.size())];
      Json* to = t.lists[r.below(t.lists.size())];
      if (from == to || from->items.empty()) return false;
      const std::size_t i = r.below(from->items.size());
      Json moved = std::move(from->items[i]);
      from->items.erase(from->items.begin() + static_cast<long>(i));
      to->items.insert(to->items.begin() + static_cast<long>(r.below(to->items.size() + 1)), std::move(moved));
      return true;
    }
    case 11: {  // kyoku order: drop, repeat or swap whole kyoku
      Json* log = log_of(root);
      if (!log || log->items.empty()) return false;
      const std::size_t i = r.below(log->items.size());
      switch (r.below(3)) {
        case 0: log->items.erase(log->items.begin() + static_cast<long>(i)); break;
        case 1:
          if (log->items.size() > 64) return false;
          log->items.insert(log->items.begin() + static_cast<long>(i), Json(log->items[i]));
          break;
        default: std::swap(log->items[i], log->items[r.below(log->items.size())]);
      }
      return true;
    }
    case 12: {  // result list
      Target t = pick_kyoku(r, root);
      if (!t.kyoku || t.kyoku->items.size() < 17 || t.kyoku->items[16].kind != Json::array) return false;
      Json& res = t.kyoku->items[16];
      static const char* const words[] = {"和了", "流局", "全員聴牌", "流し満貫", "九種九牌", "四家立直",
                                          "三家和了", "四槓散了", "四風連打", ""};
      switch (r.below(4)) {
        case 0:
          if (!res.items.empty() && res.items[0].kind == Json::string)
            res.items[0].text = words[r.below(std::size(words))];
          else
            res.items.insert(res.items.begin(), string(words[r.below(std::size(words))]));
          break;
        case 1: {  // a win entry: deltas then winner, source, target
          Json d;
          d.kind = Json::array;
          for (int k = 0; k < 4; ++k) d.items.push_back(number(static_cast<long>(r.below(5)) * 1000 - 2000));
          Json w;
          w.kind = Json::array;
          const long winner = static_cast<long>(r.below(4));
          w.items.push_back(number(winner));
          w.items.push_back(number(r.chance(2) ? winner : static_cast<long>(r.below(4))));
          w.items.push_back(number(static_cast<long>(r.below(4))));
          if (r.chance(2)) w.items.push_back(string("満貫"));
          res.items.push_back(std::move(d));
          res.items.push_back(std::move(w));
          break;
        }
        case 2:  // a list whose first element is not a number
          if (res.items.size() >= 3 && res.items[2].kind == Json::array && !res.items[2].items.empty())
            res.items[2].items[0] = r.chance(2) ? string("x") : number(static_cast<long>(r.below(300)) - 20);
          else
            return false;
          break;
        default:
          if (res.items.size() < 2) return false;
          std::swap(res.items[r.below(res.items.size())], res.items[r.below(res.items.size())]);
      }
      return true;
    }
    default: {  // rule: display text and red-five counts
      Json* rule = rule_of(root);
      if (!rule || rule->kind != Json::object) return false;
      static const char* const disps[] = {"四般南喰赤", "四般東喰赤", "三般南喰赤", "East", "3-Player",
                                          "South", "", "般南"};
      static const char* const keys[] = {"disp", "aka", "aka51", "aka52", "aka53"};
      const std::size_t k = r.below(std::size(keys));
      Json value = k == 0 ? string(disps[r.below(std::size(disps))]) : number(r.chance(4) ? 256 : r.below(3));
      for (std::size_t i = 0; i < rule->items.size(); ++i)
        if (rule->keys[i] == keys[k]) {
          rule->items[i] = std::move(value);
          return true;
        }
      rule->keys.emplace_back(keys[k]);
      rule->items.push_back(std::move(value));
      return true;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kifuzan::fuzz::run_pipeline_checks(data, size);
  return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int rand_init) {
  Rng r(rand_init);
  Json root;
  // Byte mutations now and then, so that the reader's failure paths keep
  // being exercised from structurally valid starting points.
  if (r.chance(16) || !Reader(std::string_view(reinterpret_cast<const char*>(data), size)).document(root))
    return LLVMFuzzerMutate(data, size, max_size);
  // Long games run slowly; keep a steady supply of shorter ones.
  if (size > 8192 && r.chance(3))
    if (Json* log = log_of(root); log && log->items.size() > 1)
      log->items.erase(log->items.begin() + static_cast<long>(r.below(log->items.size())));
  const int rounds = 1 + static_cast<int>(r.below(r.chance(4) ? 6 : 2));
  for (int done = 0, tries = 0; done < rounds && tries < 32; ++tries)
    if (mutate_once(r, root)) ++done;
  std::string out;
  out.reserve(size + 64);
  write(root, out);
  if (out.size() > max_size) return LLVMFuzzerMutate(data, size, max_size);
  std::memcpy(data, out.data(), out.size());
  return out.size();
}

// Splices one kyoku of the second input into the first.
extern "C" std::size_t LLVMFuzzerCustomCrossOver(const std::uint8_t* data1, std::size_t size1,
                                                 const std::uint8_t* data2, std::size_t size2, std::uint8_t* out,
                                                 std::size_t max_out_size, unsigned int rand_init) {
  Rng r(rand_init);
  Json a, b;
  if (!Reader(std::string_view(reinterpret_cast<const char*>(data1), size1)).document(a)) return 0;
  if (!Reader(std::string_view(reinterpret_cast<const char*>(data2), size2)).document(b)) return 0;
  Json* la = log_of(a);
  Json* lb = log_of(b);
  if (!la || !lb || lb->items.empty()) return 0;
  Json k = lb->items[r.below(lb->items.size())];
  if (!la->items.empty() && r.chance(2))
    la->items[r.below(la->items.size())] = std::move(k);
  else
    la->items.insert(la->items.begin() + static_cast<long>(r.below(la->items.size() + 1)), std::move(k));
  std::string s;
  write(a, s);
  if (s.size() > max_out_size) return 0;
  std::memcpy(out, s.data(), s.size());
  return s.size();
}
