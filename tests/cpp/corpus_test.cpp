// Real game records: expected output byte for byte, properties of the stream
// that hold whatever the expected file says, and the changed-copy variants.
#include <gtest/gtest.h>

#define SIMDJSON_EXCEPTIONS 0
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <simdjson.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kifuzan/conv/input.h"
#include "kifuzan/conv/pipeline.h"
#include "mjai/tile.h"
#include "shared_files.h"

namespace kifuzan::test {
namespace {

namespace fs = std::filesystem;
using simdjson::dom::element;
using simdjson::dom::element_type;

const fs::path corpus_dir = shared_dir / "corpus";

kifuzan::base::result<conv::Lines, conv::Stage> convert(std::string_view text) {
  return conv::tenhou_to_mjai_lines(conv::PaddedText(text));
}

// Collects what tenhou_to_mjai_blocks hands over, as one text.
struct collected final : conv::LineSink {
  std::string text;
  std::vector<std::size_t> end;
  std::size_t ascii_from = 0;
  std::vector<std::vector<std::string>> blocks;  // each block's lines
  std::size_t stop_after = SIZE_MAX;

  bool block(const conv::LinesView& b) override {
    const std::size_t base = text.size();
    if (b.ascii_from) ascii_from = end.size() + b.ascii_from;
    text += b.text;
    auto& lines = blocks.emplace_back();
    for (std::size_t i = 0; i < b.size(); ++i) {
      end.push_back(base + b.end[i]);
      lines.emplace_back(b.line(i));
    }
    return blocks.size() < stop_after;
  }
};

// The block path gives the lines path's output, a block per kyoku.
void expect_blocks_match(std::string_view input) {
  const auto lines = convert(input);
  collected got;
  const auto r = conv::tenhou_to_mjai_blocks(conv::PaddedText(input), got);
  ASSERT_EQ(r.ok(), lines.ok());
  if (!r.ok()) {
    EXPECT_EQ(r.error(), lines.error());
    return;
  }
  const conv::LinesView want = lines.value().view();
  EXPECT_EQ(r.value(), want.size());
  EXPECT_EQ(got.text, want.text);
  EXPECT_TRUE(std::ranges::equal(got.end, want.end));
  EXPECT_EQ(got.ascii_from, want.ascii_from);
  ASSERT_GE(got.blocks.size(), 2u);
  EXPECT_EQ(got.blocks.front().size(), 1u);
  EXPECT_EQ(got.blocks.back(), std::vector<std::string>{R"({"type":"end_game"})"});
  for (std::size_t i = 1; i + 1 < got.blocks.size(); ++i) {
    const auto& b = got.blocks[i];
    ASSERT_GE(b.size(), 2u) << "block " << i;
    EXPECT_TRUE(b.front().starts_with(R"({"type":"start_kyoku",)")) << "block " << i;
    EXPECT_EQ(b.back(), R"({"type":"end_kyoku"})") << "block " << i;
  }
}

// The digest the variants list gives for a converted copy, by libcrypto.
std::string sha256_hex(std::string_view data) {
  unsigned char md[SHA256_DIGEST_LENGTH];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), md, &size, EVP_sha256(), nullptr) != 1) return "EVP_Digest failed";
  static constexpr char hex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += hex[md[i] >> 4];
    out += hex[md[i] & 15];
  }
  return out;
}

std::vector<fs::path> four_player_records() {
  std::vector<fs::path> out;
  const fs::path dir = corpus_dir / "four_player";
  if (!fs::is_directory(dir)) return out;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.path().extension() == ".json") out.push_back(e.path());
  std::sort(out.begin(), out.end());
  return out;
}

TEST(corpus_test, records_convert_to_expected_lines) {
  const auto records = four_player_records();
  if (records.empty()) GTEST_SKIP() << "no corpus at " << corpus_dir;
  for (const auto& p : records) {
    SCOPED_TRACE(p.filename().string());
    auto r = convert(read_file(p));
    ASSERT_TRUE(r.ok()) << "stage " << static_cast<int>(r.error());
    const std::string want = read_file(fs::path(p).replace_extension(".mjson"));
    const std::string got(r.value().view().text);
    if (got == want) continue;
    // Point at the first line that differs.
    std::size_t line = 0, i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) line += got[i++] == '\n';
    const auto line_at = [](const std::string& s, std::size_t at) {
      const std::size_t nl = at == 0 ? std::string::npos : s.rfind('\n', at - 1);
      const std::size_t start = nl == std::string::npos ? 0 : nl + 1;
      return s.substr(start, s.find('\n', start) - start);
    };
    ADD_FAILURE() << "first difference on line " << line + 1 << "\n got:  " << line_at(got, i)
                  << "\n want: " << line_at(want, i);
  }
}

// The few fields of an mjai line the properties look at.
struct Ev {
  std::string type, pai;
  int actor = -1, target = -1;
  bool tsumogiri = false;
};

Ev read_event(simdjson::dom::parser& parser, std::string_view line) {
  Ev e;
  element doc;
  if (parser.parse(line.data(), line.size()).get(doc)) {
    ADD_FAILURE() << "not JSON: " << line;
    return e;
  }
  std::string_view sv;
  if (!doc["type"].get(sv)) e.type = sv;
  if (!doc["pai"].get(sv)) e.pai = sv;
  std::int64_t n;
  if (!doc["actor"].get(n)) e.actor = static_cast<int>(n);
  if (!doc["target"].get(n)) e.target = static_cast<int>(n);
  bool b;
  if (!doc["tsumogiri"].get(b)) e.tsumogiri = b;
  return e;
}

bool is_take(const Ev& e) {
  return e.type == "tsumo" || e.type == "chi" || e.type == "pon" || e.type == "daiminkan";
}
bool is_discard(const Ev& e) {
  return e.type == "dahai" || e.type == "kakan" || e.type == "ankan" || e.type == "reach";
}

std::string code_name(std::int64_t code) {
  auto t = mjai::tile_from_code(static_cast<std::uint8_t>(code));
  return t ? std::string(mjai::tile_name(*t)) : std::string();
}

// One seat's entries against its events: every event stands for the next
// entry, in order. Returns how many entries were used; a 0 entry that the
// drawn-tile pass dropped is skipped.
std::size_t match_takes(const std::vector<element>& entries, const std::vector<Ev>& evs) {
  EXPECT_LE(evs.size(), entries.size()) << "more takes than entries";
  for (std::size_t i = 0; i < evs.size() && i < entries.size(); ++i) {
    std::int64_t code;
    std::string_view text;
    if (!entries[i].get(code)) {
      EXPECT_EQ(evs[i].type, "tsumo") << "take " << i;
      EXPECT_EQ(evs[i].pai, code_name(code)) << "take " << i;
    } else if (!entries[i].get(text)) {
      const char* kind = text.find('c') != text.npos ? "chi" : text.find('p') != text.npos ? "pon" : "daiminkan";
      EXPECT_EQ(evs[i].type, kind) << "take " << i << " " << text;
    }
  }
  return std::min(evs.size(), entries.size());
}

std::size_t match_discards(const std::vector<element>& entries, const std::vector<Ev>& evs) {
  std::size_t e = 0;
  for (std::size_t j = 0; j < evs.size(); ++j) {
    while (e < entries.size()) {
      std::int64_t code = -1;
      if (!entries[e].get(code) && code == 0 && !(evs[j].type == "dahai" && evs[j].pai == "?" && !evs[j].tsumogiri))
        ++e;  // dropped by the drawn-tile pass
      else
        break;
    }
    if (e == entries.size()) {
      ADD_FAILURE() << "discard event " << j << " (" << evs[j].type << ") has no entry";
      return e;
    }
    std::int64_t code;
    std::string_view text;
    const Ev& ev = evs[j];
    if (!entries[e].get(code)) {
      const std::string name = code_name(code);
      EXPECT_EQ(ev.type, "dahai") << "discard " << e;
      if (!name.empty()) {
        EXPECT_EQ(ev.pai, name) << "discard " << e;
        EXPECT_FALSE(ev.tsumogiri) << "discard " << e;
      } else {
        EXPECT_TRUE(ev.tsumogiri) << "discard " << e;
      }
    } else if (!entries[e].get(text)) {
      if (text.find('k') != text.npos) {
        EXPECT_EQ(ev.type, "kakan") << text;
      } else if (text.find('a') != text.npos) {
        EXPECT_EQ(ev.type, "ankan") << text;
      } else {
        EXPECT_EQ(ev.type, "reach") << text;
        if (j + 1 < evs.size()) {
          ++j;
          EXPECT_EQ(evs[j].type, "dahai") << text;
          const bool tsumogiri = text.substr(1) == "60" || text.substr(1) == "00";
          EXPECT_EQ(evs[j].tsumogiri, tsumogiri) << text;
          if (!tsumogiri) {
            EXPECT_EQ(evs[j].pai, code_name(std::stoi(std::string(text.substr(1))))) << text;
          }
        }
      }
    }
    ++e;
  }
  return e;
}

std::vector<element> items(element kyoku, std::size_t index) {
  std::vector<element> out;
  simdjson::dom::array a;
  if (kyoku.at(index).get(a)) return out;
  for (element x : a) out.push_back(x);
  return out;
}

void check_kyoku(element kyoku, const std::vector<Ev>& evs) {
  // Play is what lies between start_kyoku and the result events.
  std::size_t end = 1;
  while (end < evs.size() && (is_take(evs[end]) || is_discard(evs[end]) || evs[end].type == "dora" ||
                              evs[end].type == "reach_accepted"))
    ++end;
  for (std::size_t i = end; i + 1 < evs.size(); ++i)
    EXPECT_TRUE(evs[i].type == "hora" || evs[i].type == "ryukyoku") << "after play: " << evs[i].type;
  const std::vector<Ev> play(evs.begin() + 1, evs.begin() + end);
  ASSERT_FALSE(play.empty());

  for (std::size_t i = 0; i < play.size(); ++i) {
    if (play[i].type == "reach") {
      ASSERT_LT(i + 1, play.size());
      EXPECT_EQ(play[i + 1].type, "dahai");
      EXPECT_EQ(play[i + 1].actor, play[i].actor);
    }
    if (play[i].type == "chi" || play[i].type == "pon" || play[i].type == "daiminkan") {
      auto last = std::find_if(play.rbegin() + static_cast<long>(play.size() - i), play.rend(),
                               [](const Ev& e) { return e.type == "dahai"; });
      ASSERT_NE(last, play.rend()) << "call before any discard";
      EXPECT_EQ(play[i].target, last->actor) << "event " << i;
      EXPECT_EQ(play[i].pai, last->pai) << "event " << i;
    }
  }

  std::array<std::size_t, 4> takes_used{}, takes_total{}, discards_used{};
  std::array<std::vector<element>, 4> discard_entries;
  for (int s = 0; s < 4; ++s) {
    SCOPED_TRACE("seat " + std::to_string(s));
    std::vector<Ev> t, d;
    for (const Ev& e : play) {
      if (e.actor != s) continue;
      if (is_take(e)) t.push_back(e);
      if (is_discard(e)) d.push_back(e);
    }
    const auto take_entries = items(kyoku, 5 + 3 * s);
    discard_entries[s] = items(kyoku, 6 + 3 * s);
    takes_total[s] = take_entries.size();
    takes_used[s] = match_takes(take_entries, t);
    discards_used[s] = match_discards(discard_entries[s], d);
  }
  // Play ends after a take with no discard left, or after a discard once no
  // seat has a take left.
  const Ev& last = play.back();
  if (is_take(last)) {
    const auto& rest = discard_entries[last.actor];
    for (std::size_t e = discards_used[last.actor]; e < rest.size(); ++e) {
      std::int64_t code = -1;
      EXPECT_TRUE(!rest[e].get(code) && code == 0) << "seat " << last.actor << " discard " << e << " unread";
    }
  } else {
    EXPECT_EQ(takes_used, takes_total) << "takes left after the last discard";
  }
}

TEST(corpus_test, records_give_consistent_streams) {
  const auto records = four_player_records();
  if (records.empty()) GTEST_SKIP() << "no corpus at " << corpus_dir;
  simdjson::dom::parser log_parser, line_parser;
  for (const auto& p : records) {
    SCOPED_TRACE(p.filename().string());
    const std::string text = read_file(p);
    auto r = convert(text);
    ASSERT_TRUE(r.ok());
    const conv::LinesView lines = r.value().view();
    element doc;
    simdjson::dom::array log;
    ASSERT_FALSE(log_parser.parse(text).get(doc));
    ASSERT_FALSE(doc["log"].get(log));

    std::vector<Ev> evs;
    for (std::size_t i = 0; i < lines.size(); ++i) evs.push_back(read_event(line_parser, lines.line(i)));
    ASSERT_GE(evs.size(), 2u);
    EXPECT_EQ(evs.front().type, "start_game");
    EXPECT_EQ(evs.back().type, "end_game");
    std::size_t i = 1, kyoku = 0;
    for (element entry : log) {
      SCOPED_TRACE("kyoku " + std::to_string(kyoku++));
      ASSERT_LT(i, evs.size());
      ASSERT_EQ(evs[i].type, "start_kyoku");
      std::size_t j = i + 1;
      while (j < evs.size() && evs[j].type != "end_kyoku") {
        ASSERT_NE(evs[j].type, "start_kyoku");
        ++j;
      }
      ASSERT_LT(j, evs.size());
      check_kyoku(entry, {evs.begin() + static_cast<long>(i), evs.begin() + static_cast<long>(j + 1)});
      i = j + 1;
    }
    EXPECT_EQ(i + 1, evs.size()) << "events after the last kyoku";
    expect_blocks_match(text);
  }
}

TEST(corpus_test, sink_that_stops_gets_no_more_blocks) {
  const auto records = four_player_records();
  if (records.empty()) GTEST_SKIP() << "no corpus at " << corpus_dir;
  collected got;
  got.stop_after = 2;
  const auto r = conv::tenhou_to_mjai_blocks(conv::PaddedText(read_file(records.front())), got);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), conv::Stage::serialize);
  EXPECT_EQ(got.blocks.size(), 2u);
}

TEST(corpus_test, three_player_record_is_refused_by_the_reader) {
  const fs::path p = corpus_dir / "three_player" / "001.json";
  if (!fs::exists(p)) GTEST_SKIP() << "no " << p;
  auto r = convert(read_file(p));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), conv::Stage::parse);
}

TEST(corpus_test, variants_meet_their_outcome) {
  const fs::path p = corpus_dir / "variants.jsonl";
  if (!fs::exists(p)) GTEST_SKIP() << "no " << p;
  std::ifstream in(p, std::ios::binary);
  simdjson::dom::parser parser;
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    ++n;
    element v;
    ASSERT_FALSE(parser.parse(line).get(v)) << "line " << n;
    std::string_view input, outcome, from, change, sha;
    ASSERT_FALSE(v["input"].get(input));
    ASSERT_FALSE(v["outcome"].get(outcome));
    if (v["from"].get(from)) from = "?";
    if (v["change"].get(change)) change = "?";
    SCOPED_TRACE("line " + std::to_string(n) + " (" + std::string(from) + ", " + std::string(change) + ")");
    auto r = convert(input);
    expect_blocks_match(input);
    if (outcome == "ok") {
      std::uint64_t events = 0;
      ASSERT_FALSE(v["events"].get(events));
      ASSERT_FALSE(v["sha256"].get(sha));
      ASSERT_TRUE(r.ok()) << "failed at stage " << static_cast<int>(r.error());
      EXPECT_EQ(r.value().view().size(), events);
      EXPECT_EQ(sha256_hex(r.value().view().text), sha);
      continue;
    }
    conv::Stage want;
    if (outcome == "JsonParsingError") {
      want = conv::Stage::parse;
    } else if (outcome == "TenhouLogParsingError") {
      want = conv::Stage::normalise;
    } else if (outcome == "TenhouToMjaiError") {
      want = conv::Stage::convert;
    } else {
      ADD_FAILURE() << "unknown outcome " << outcome;
      continue;
    }
    ASSERT_FALSE(r.ok()) << "converted, want " << outcome;
    EXPECT_EQ(r.error(), want) << outcome;
  }
  EXPECT_GT(n, 0);
}

}  // namespace
}  // namespace kifuzan::test
