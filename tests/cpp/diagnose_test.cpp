// diagnose: the same verdict as the pipeline on every shared record and
// changed copy, and reasons that name what and where.
#include "kifuzan/conv/diagnose.h"

#include <gtest/gtest.h>

#include <simdjson.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kifuzan/conv/pipeline.h"
#include "kyoku_builder.h"
#include "shared_files.h"

namespace kifuzan::test {
namespace {

namespace fs = std::filesystem;
using conv::Stage;

const fs::path corpus_dir = shared_dir / "corpus";

// The number of kyoku in a text that is JSON with a "log" list, or -1.
int kyoku_count(simdjson::dom::parser& parser, std::string_view text) {
  simdjson::dom::element root;
  simdjson::dom::array log;
  if (parser.parse(text.data(), text.size()).get(root)) return -1;
  if (root.is_object() ? root["log"].get(log) : root.at(0).get(log)) return -1;
  return static_cast<int>(log.size());
}

// Checks diagnose against the pipeline on one text; `want` is the exception
// the record must raise, or empty for a record that converts.
void check_agreement(simdjson::dom::parser& parser, std::string_view text, std::string_view want) {
  const conv::PaddedText input(text);
  const auto r = conv::tenhou_to_mjai_lines(input);
  const auto d = conv::diagnose(input);
  ASSERT_EQ(d.has_value(), !r.ok()) << (d ? d->reason : "converts");
  if (!d) {
    EXPECT_TRUE(want.empty() || want == "ok") << "converted, want " << want;
    return;
  }
  EXPECT_EQ(d->stage, r.error());
  if (!want.empty()) {
    // The variants name the exception each stage's failure raises.
    constexpr std::string_view raised[] = {"JsonParsingError", "TenhouLogParsingError", "TenhouToMjaiError",
                                           "JsonSerializationError"};
    EXPECT_EQ(raised[static_cast<int>(d->stage)], want) << d->reason;
  }
  EXPECT_FALSE(d->reason.empty());
  EXPECT_EQ(d->reason.find("failed to"), std::string::npos) << d->reason;
  EXPECT_EQ(d->reason.find('\n'), std::string::npos) << d->reason;
  if (d->offset) {
    ASSERT_LE(*d->offset, text.size()) << d->reason;
    // Past the JSON text, a located value starts where a value can.
    if (d->stage != Stage::parse || d->reason.rfind("JSON syntax error", 0) != 0) {
      ASSERT_LT(*d->offset, text.size()) << d->reason;
      EXPECT_NE(std::string_view("[{\"-0123456789tfn").find(text[*d->offset]), std::string_view::npos)
          << d->reason << " at " << text.substr(*d->offset, 20);
    }
  }
  if (d->seat) {
    EXPECT_LT(*d->seat, 4) << d->reason;
  }
  if (d->kyoku) {
    EXPECT_GE(*d->kyoku, 0);
    EXPECT_LT(*d->kyoku, kyoku_count(parser, text)) << d->reason;
  }
  // Everything past the JSON text itself is pinned to a place in it.
  if (d->stage != Stage::parse) {
    EXPECT_TRUE(d->offset) << d->reason;
  }
}

TEST(diagnose_test, agrees_with_the_pipeline_on_the_shared_records_and_variants) {
  simdjson::dom::parser parser;
  int records = 0;
  for (const char* dir : {"four_player", "three_player"}) {
    if (!fs::is_directory(corpus_dir / dir)) continue;
    for (const auto& e : fs::directory_iterator(corpus_dir / dir)) {
      if (e.path().extension() != ".json") continue;
      SCOPED_TRACE(e.path().string());
      const std::string text = read_file(e.path());
      check_agreement(parser, text, std::string_view(dir) == "three_player" ? "JsonParsingError" : "ok");
      if (std::string_view(dir) == "three_player") {
        const auto d = conv::diagnose(conv::PaddedText(text));
        ASSERT_TRUE(d);
        EXPECT_EQ(d->reason.rfind("three-player records are not supported", 0), 0u) << d->reason;
      }
      ++records;
    }
  }
  const fs::path variants = corpus_dir / "variants.jsonl";
  if (!fs::exists(variants)) GTEST_SKIP() << "no " << variants;
  std::ifstream in(variants, std::ios::binary);
  simdjson::dom::parser line_parser;
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    SCOPED_TRACE("variants line " + std::to_string(++n));
    simdjson::dom::element v;
    std::string_view input, outcome;
    ASSERT_FALSE(line_parser.parse(line).get(v));
    ASSERT_FALSE(v["input"].get(input));
    ASSERT_FALSE(v["outcome"].get(outcome));
    check_agreement(parser, input, outcome);
  }
  EXPECT_GT(records + n, 300);
}

// {} in a reason stands for the byte where `at` is found in the text.
struct ReasonCase {
  const char* name;
  std::string text;
  Stage stage;
  std::string reason;
  std::string at;
  std::optional<int> kyoku = std::nullopt, seat = std::nullopt;
  std::string after = {};  // `at` is looked for after this
};

TEST(diagnose_test, reasons) {
  using namespace std::string_literals;
  const KyokuSpec good = KyokuSpec().seat(0, "[11]", "[21]");
  const std::string names = R"(["A","B","C","D"])";
  const ReasonCase cases[] = {
      {"syntax", R"({"log":[] "name":[]})", Stage::parse,
       "JSON syntax error at byte {}: the JSON document has an improper structure: missing or superfluous "
       "commas, braces, missing keys, etc",
       R"("name")"},
      {"text ends early", game_text({good}).substr(0, 30), Stage::parse,
       "JSON syntax error at byte 30: the JSON document has an improper structure: missing or superfluous "
       "commas, braces, missing keys, etc",
       ""},
      {"byte-order mark", "\xEF\xBB\xBF{}", Stage::parse,
       "JSON syntax error at byte 0: the text starts with a byte-order mark (bytes EF BB BF), which JSON text "
       "must not have; save it as UTF-8 without one",
       ""},
      {"bad UTF-8", R"({"log":[],"name":["A","B)" "\xC3\x28" R"(","C","D"],"rule":{}})", Stage::parse,
       "JSON syntax error at byte {}: the input is not valid UTF-8", "\xC3"},
      {"too deep", std::string(129, '[') + std::string(129, ']'), Stage::parse,
       "JSON syntax error at byte 128: the JSON document was too deep (too many nested objects and arrays)", ""},
      {"array form ends early", "[[]]", Stage::parse,
       "the document at byte 0: it has 1 entry; a document written as a list has 8", ""},
      {"missing key", R"({"name":["A","B","C","D"],"rule":{}})", Stage::parse,
       R"(the document has no "log"; it needs "log", "name" and "rule")", ""},
      {"repeated key", R"({"log":[],"name":["A","B","C","D"],"rule":{},"log":[]})", Stage::parse,
       R"(key "log" at byte {}: "log" appears twice)", "[]}"},
      {"tile code", game_text({KyokuSpec(good).with_round("[5,1,0]").with_dora("[11,10]")}), Stage::parse,
       "kyoku 0 (South 2, 1 honba), dora indicator 1 at byte {}: 10 is not a tile code: tile codes are 11-19, "
       "21-29 and 31-39 for the suits, 41-47 for the honours, 51-53 for the red fives and 0 for a hidden tile",
       "10]", 0},
      {"name of another type", game_text({}, R"(["A","B",3,"D"])"), Stage::parse,
       R"(key "name" item 2 at byte {}: a player name must be a string, not a whole number)", "3,"},
      {"three-player rule", game_text({good}, names, R"({"disp":"三般南喰赤"})"), Stage::normalise,
       R"(three-player records are not supported (rule text "三般南喰赤" at byte {}))", R"("三)"},
      {"three-player record refused by the reader",
       game_text({KyokuSpec(good).with_round("[0,0,0]")}, names, R"({"disp":"3-Player"})").replace(
           game_text({good}).find(R"([11,12,13,14,15,16,17,18,19,21,22,23,24],[11])"), 1, "[0,"),
       Stage::parse,
       "three-player records are not supported (the reader refused it first: kyoku 0 (East 1, 0 honba), "
       "seat 0, starting tile 13 at byte {}: the starting hand has 14 tiles; a starting hand has 13)",
       "24],[11]", 0, 0},
      {"win without seats", game_text({good, KyokuSpec(good).with_result(R"(["和了",[0,0,0,0],["x",1]])")}),
       Stage::normalise,
       "kyoku 1 (East 1, 0 honba), result item 2 at byte {}: a win's details lack the winner and source seat "
       "numbers",
       R"(["x",1])", 1},
      {"call text", game_text({KyokuSpec().with_round("[4,2,0]").seat(2, R"([11,"p2424p24"])", "[]")}),
       Stage::convert,
       R"(kyoku 0 (South 1, 2 honba), seat 2, take 1 at byte {}: call text "p2424p24" fits no call)",
       R"("p2424p24")", 0, 2},
      {"tile text", game_text({KyokuSpec().seat(3, "[]", R"(["1313a1x13"])")}), Stage::convert,
       R"(kyoku 0 (East 1, 0 honba), seat 3, discard 0 at byte {}: "a1" in "1313a1x13" is not a tile code)",
       R"("1313a1x13")", 0, 3},
      {"call of another tile", game_text({KyokuSpec().seat(0, "[11]", "[13]").seat(1, R"(["p141414"])", "[]")}),
       Stage::convert,
       R"(kyoku 0 (East 1, 0 honba), seat 1, take 0 at byte {}: call text "p141414" does not fit the last )"
       "discard (3m by seat 0)",
       R"("p141414")", 0, 1},
      {"takes run out",
       game_text({good, KyokuSpec().with_dora("[11,21,23]").seat(0, "[11]", "[21]").seat(2, "[13]", "[60]")}),
       Stage::convert,
       "kyoku 1 (East 1, 0 honba), seat 1, take 0 at byte {}: the seat is due to take and its take list has "
       "run out",
       "[],[]", 1, 1, "[11,21,23]"},
      {"no dora indicator", game_text({KyokuSpec(good).with_dora("[]")}), Stage::convert,
       "kyoku 0 (East 1, 0 honba), dora indicators at byte {}: the list is empty, and a kyoku starts with one",
       "[]", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto d = conv::diagnose(conv::PaddedText(c.text));
    ASSERT_TRUE(d);
    EXPECT_EQ(d->stage, c.stage);
    std::string want = c.reason;
    if (const auto brace = want.find("{}"); brace != std::string::npos) {
      const auto at = c.text.find(c.at, c.after.empty() ? 0 : c.text.find(c.after));
      ASSERT_NE(at, std::string::npos) << c.at;
      want.replace(brace, 2, std::to_string(at));
      EXPECT_EQ(d->offset, at);
    }
    EXPECT_EQ(d->reason, want);
    EXPECT_EQ(d->kyoku, c.kyoku);
    EXPECT_EQ(d->seat, c.seat);
  }
}

}  // namespace
}  // namespace kifuzan::test
