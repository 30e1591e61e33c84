// The mjlog reader: the shared records against their expected documents and
// mjai lines, the converter's input equal to what its own reader gives for
// the written text, and every refusal with a message that says where.
#include <gtest/gtest.h>

#define SIMDJSON_EXCEPTIONS 0
#include <simdjson.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "kifuzan/conv/document.h"
#include "kifuzan/conv/pipeline.h"
#include "kifuzan/mjlog/document.h"
#include "kifuzan/mjlog/pipeline.h"
#include "kifuzan/mjlog/reader.h"
#include "shared_files.h"

namespace kifuzan::test {
namespace {

namespace fs = std::filesystem;
using simdjson::dom::element;
using simdjson::dom::element_type;

const fs::path mjlog_dir = shared_dir / "corpus" / "mjlog";

bool is_integer(element_type t) { return t == element_type::INT64 || t == element_type::UINT64; }

// Equal as JSON values with object keys in the same order; integers and
// fractions are told apart. Returns the path of the first difference.
std::string json_diff(element a, element b, const std::string& path) {
  if (a.type() != b.type() && !(is_integer(a.type()) && is_integer(b.type()))) return path + ": type";
  switch (a.type()) {
    case element_type::ARRAY: {
      auto x = a.get_array().value_unsafe(), y = b.get_array().value_unsafe();
      if (x.size() != y.size()) return path + ": length";
      auto j = y.begin();
      std::size_t i = 0;
      for (element e : x) {
        if (auto d = json_diff(e, *j, path + "[" + std::to_string(i++) + "]"); !d.empty()) return d;
        ++j;
      }
      return {};
    }
    case element_type::OBJECT: {
      auto x = a.get_object().value_unsafe(), y = b.get_object().value_unsafe();
      if (x.size() != y.size()) return path + ": key count";
      auto j = y.begin();
      for (auto f : x) {
        if (f.key != (*j).key) return path + ": key " + std::string(f.key) + " vs " + std::string((*j).key);
        if (auto d = json_diff(f.value, (*j).value, path + "." + std::string(f.key)); !d.empty()) return d;
        ++j;
      }
      return {};
    }
    case element_type::DOUBLE: return a.get_double().value_unsafe() == b.get_double().value_unsafe() ? "" : path;
    case element_type::STRING: return a.get_string().value_unsafe() == b.get_string().value_unsafe() ? "" : path;
    case element_type::BOOL: return a.get_bool().value_unsafe() == b.get_bool().value_unsafe() ? "" : path;
    case element_type::NULL_VALUE: return {};
    default: return a.get_double().value_unsafe() == b.get_double().value_unsafe() ? "" : path;
  }
}

std::string lines_text(const conv::Lines& l) { return std::string(l.view().text); }

std::string replace_all(std::string s, std::string_view from, std::string_view to) {
  for (std::size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size()) s.replace(at, from.size(), to);
  return s;
}

TEST(MjlogCorpus, EveryRecordGivesItsDocumentAndLines) {
  if (!fs::is_directory(mjlog_dir)) GTEST_SKIP() << "no shared mjlog records";
  std::vector<fs::path> records;
  for (const auto& e : fs::directory_iterator(mjlog_dir))
    if (e.path().extension() == ".xml" && e.path().stem() != "three_player") records.push_back(e.path());
  std::sort(records.begin(), records.end());
  ASSERT_EQ(records.size(), 16u);
  for (const fs::path& xml_path : records) {
    SCOPED_TRACE(xml_path.filename().string());
    const std::string stem = xml_path.stem().string();
    // Records paired with tenhou's own JSON carry the game id as their ref.
    const bool paired = fs::exists(mjlog_dir / (stem + ".json"));
    const std::string expected = read_file(mjlog_dir / (stem + (paired ? ".json" : ".tenhou6.json")));
    const std::string xml = read_file(xml_path);

    auto doc = mjlog::read_mjlog(xml);
    ASSERT_TRUE(doc) << doc.error().text;
    // Every shared record has the flat form, and reads as the tree reads it.
    auto flat = mjlog::read_mjlog_flat(xml, true);
    ASSERT_TRUE(flat);
    EXPECT_TRUE(*flat == mjlog::read_mjlog_tree(xml).value());
    const std::string written = mjlog::write_tenhou6(doc.value(), paired ? std::optional<std::string_view>(stem)
                                                                         : std::nullopt);
    simdjson::dom::parser p1, p2;
    element want, got;
    ASSERT_FALSE(p1.parse(expected).get(want));
    ASSERT_FALSE(p2.parse(written).get(got)) << written.substr(0, 200);
    EXPECT_EQ(json_diff(want, got, "$"), "");

    // The converter's input without the text, and the lines both ways.
    auto parsed = conv::parse(conv::PaddedText(written));
    ASSERT_TRUE(parsed) << conv::describe(parsed.error());
    EXPECT_TRUE(mjlog::to_raw_log(doc.value()) == parsed.value());
    auto direct = mjlog::mjlog_to_mjai_lines(xml);
    ASSERT_TRUE(direct);
    auto via_text = conv::tenhou_to_mjai_lines(conv::PaddedText(written));
    ASSERT_TRUE(via_text);
    EXPECT_EQ(lines_text(direct.value()), lines_text(via_text.value()));
    EXPECT_TRUE(std::ranges::equal(direct.value().view().end, via_text.value().view().end));
    EXPECT_EQ(direct.value().view().ascii_from, via_text.value().view().ascii_from);
    EXPECT_EQ(lines_text(direct.value()), read_file(mjlog_dir / (stem + ".mjson")));
  }
}

// A short valid record: one kyoku in which seat 0 draws and declares a
// winning tsumo; `head` and `play` are replaced by the tests.
struct record {
  std::string head = R"(<GO type="169" lobby="0"/><UN n0="%41" n1="b" n2="c" n3="d" dan="0,10,19,20" rate="1500.00,-0.0,2074.70,1e3" sx="M,F,C,M"/>)";
  std::string init = R"(<INIT seed="0,0,0,1,2,51" ten="250,250,250,250" oya="0" hai0="0,4,8,12,17,20,24,28,32,36,40,44,48" hai1="1,5,9,13,18,21,25,29,33,37,41,45,49" hai2="2,6,10,14,19,22,26,30,34,38,42,46,50" hai3="3,7,11,15,16,23,27,31,35,39,43,47,51"/>)";
  std::string play = R"(<T60/><D60/>)";
  std::string end = R"(<RYUUKYOKU ba="0,0" sc="250,0,250,0,250,0,250,0" owari="250,-0.0,250,5.5,250,0,250,-5.5"/>)";
  std::string text() const { return "<mjloggm ver=\"2.3\">" + head + init + play + end + "</mjloggm>"; }
};

const conv::ThreePlayerForm forms[] = {conv::ThreePlayerForm::nukidora, conv::ThreePlayerForm::kita,
                                       conv::ThreePlayerForm::nukidora4};

conv::Options three_player(conv::ThreePlayerForm form = conv::ThreePlayerForm::nukidora) {
  conv::Options o;
  o.any_players = true;
  o.form = form;
  return o;
}

// The kitas of a record: <N> tags (not AGARI's m lists) whose code has only
// the kita bit among the kind bits.
std::size_t kita_tags(std::string_view xml) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = xml.find("<N ", at)) != std::string_view::npos; ++at) {
    const std::size_t m = xml.find("m=\"", at) + 3;
    if ((std::stoul(std::string(xml.substr(m, xml.find('"', m) - m))) & 0x3C) == 0x20) ++n;
  }
  return n;
}

std::size_t count(std::string_view text, std::string_view what) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string_view::npos; at += what.size()) ++n;
  return n;
}

TEST(MjlogThreePlayer, EveryRecordReadsOnlyWhenAllowedAndConvertsInEachForm) {
  std::vector<fs::path> records;
  if (fs::is_directory(shared_dir / "corpus" / "three_player" / "xml"))
    for (const auto& e : fs::directory_iterator(shared_dir / "corpus" / "three_player" / "xml"))
      if (e.path().extension() == ".xml") records.push_back(e.path());
  if (fs::exists(mjlog_dir / "three_player.xml")) records.push_back(mjlog_dir / "three_player.xml");
  if (records.empty()) GTEST_SKIP() << "no shared three-player records";
  for (const fs::path& path : records) {
    SCOPED_TRACE(path.filename().string());
    const std::string xml = read_file(path);
    // The four-player routes refuse it as they always did.
    auto refused = mjlog::read_mjlog(xml);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, mjlog::three_player_message);
    auto refused_lines = mjlog::mjlog_to_mjai_lines(xml);
    ASSERT_FALSE(refused_lines);
    EXPECT_EQ(refused_lines.error().kind, conv::ErrorKind::mjlog);
    EXPECT_EQ(refused_lines.error().text, mjlog::three_player_message);

    auto doc = mjlog::read_mjlog(xml, true);
    ASSERT_TRUE(doc) << doc.error().text;
    auto flat = mjlog::read_mjlog_flat(xml, true, true);
    ASSERT_TRUE(flat);
    EXPECT_TRUE(*flat == mjlog::read_mjlog_tree(xml, true).value());
    const std::string written = mjlog::write_tenhou6(doc.value());
    EXPECT_EQ(count(written, "\"f44\""), kita_tags(xml));
    EXPECT_GT(kita_tags(xml), 0u);

    auto parsed = conv::parse_any_players(conv::PaddedText(written));
    ASSERT_TRUE(parsed) << conv::describe(parsed.error());
    EXPECT_TRUE(mjlog::to_raw_log(doc.value()) == parsed.value());
    for (const conv::ThreePlayerForm form : forms) {
      SCOPED_TRACE(static_cast<int>(form));
      auto direct = mjlog::mjlog_to_mjai_lines(xml, three_player(form));
      ASSERT_TRUE(direct) << conv::describe(direct.error());
      auto via_text = conv::convert_text(conv::PaddedText(written), three_player(form));
      ASSERT_TRUE(via_text) << conv::describe(via_text.error());
      EXPECT_EQ(lines_text(direct.value()), lines_text(via_text.value()));
      EXPECT_TRUE(std::ranges::equal(direct.value().view().end, via_text.value().view().end));
      const std::string_view kita = form == conv::ThreePlayerForm::kita ? R"("type":"kita")" : R"("type":"nukidora")";
      EXPECT_EQ(count(lines_text(direct.value()), kita), kita_tags(xml));
    }
  }
}

// A short three-player record: seat 0, the dealer, draws 6p, sets its North
// aside, draws 7p as its replacement and discards it; no one is tenpai.
struct three_player_record {
  std::string head = R"(<GO type="185" lobby="0"/><UN n0="a" n1="b" n2="c" n3="" dan="16,17,18,0" rate="2000.00,1900.00,1800.00,1500.00" sx="M,F,M,C"/>)";
  std::string init = R"(<INIT seed="4,1,0,1,2,132" ten="350,350,350,0" oya="0" hai0="36,37,38,40,41,42,44,45,46,48,49,50,120" hai1="72,73,74,76,77,78,80,81,82,84,85,86,0" hai2="108,109,110,112,113,114,116,117,118,124,125,126,32" hai3=""/>)";
  std::string play = R"(<T56/><N who="0" m="30752"/><T60/><D60/>)";
  std::string end = R"(<RYUUKYOKU ba="1,0" sc="350,0,350,0,350,0,0,0" owari="350,0.0,350,0.0,350,0.0,0,0"/>)";
  std::string text() const { return "<mjloggm ver=\"2.3\">" + head + init + play + end + "</mjloggm>"; }
};

TEST(MjlogThreePlayer, TenhousOwnShapeOfDocument) {
  auto doc = mjlog::read_mjlog(three_player_record{}.text(), true);
  ASSERT_TRUE(doc) << doc.error().text;
  // The North is set aside before the replacement draw is taken: "f44" is
  // the seat's first discard entry, 7p drawn and discarded (60) after it.
  EXPECT_EQ(mjlog::write_tenhou6(doc.value()),
            R"({"ver":2.3,"ref":"","log":[[[4,1,0],[35000,35000,35000,0],[47],[],)"
            R"([21,21,21,22,22,22,23,23,23,24,24,24,44],[26,27],["f44",60],)"
            R"([11,31,31,31,32,32,32,33,33,33,34,34,34],[],[],)"
            R"([19,41,41,41,42,42,42,43,43,43,45,45,45],[],[],[],[],[],["全員不聴"]]],)"
            R"("ratingc":"PF3","rule":{"disp":"三鳳南喰赤","aka53":1,"aka52":1,"aka51":1},"lobby":0,)"
            R"("dan":["七段","八段","九段","新人"],"rate":[2000,1900,1800,1500],"sx":["M","F","M","C"],)"
            R"("sc":[35000,0,35000,0,35000,0,0,0],"name":["a","b","c",""]})");
  // Three hands shown is everyone tenpai in a three-player game.
  three_player_record all;
  all.end = R"(<RYUUKYOKU ba="1,0" sc="350,0,350,0,350,0,0,0" hai0="1" hai1="2" hai2="3"/>)";
  auto tenpai = mjlog::read_mjlog(all.text(), true);
  ASSERT_TRUE(tenpai) << tenpai.error().text;
  EXPECT_EQ(tenpai.value().log[0].result.kind, mjlog::Result::Kind::all_tenpai);
  // A four-player record reads the same with or without the allowance.
  EXPECT_TRUE(mjlog::read_mjlog(record{}.text(), true).value() == mjlog::read_mjlog(record{}.text()).value());
}

TEST(MjlogThreePlayer, KanDoraBeforeAKitaAsTheXmlShowsIt) {
  // Seat 0 calls a daiminkan of 1p from seat 1, draws a North from the dead
  // wall, and the kan's <DORA> comes before it sets that North aside.
  three_player_record r;
  r.init = replace_all(r.init, R"(hai1="72,)", R"(hai1="39,)");
  r.play = R"(<T56/><D56/><U57/><E39/><N who="0" m="9985"/><T121/><DORA hai="60"/><N who="0" m="31008"/><T64/><D64/>)";
  auto doc = mjlog::read_mjlog(r.text(), true);
  ASSERT_TRUE(doc) << doc.error().text;
  const std::string written = mjlog::write_tenhou6(doc.value());
  auto direct = mjlog::mjlog_to_mjai_lines(r.text(), three_player());
  ASSERT_TRUE(direct);
  auto via_text = conv::convert_text(conv::PaddedText(written), three_player());
  ASSERT_TRUE(via_text) << conv::describe(via_text.error());
  const std::string lines = lines_text(direct.value());
  EXPECT_EQ(lines, lines_text(via_text.value()));
  EXPECT_NE(lines.find(R"({"type":"daiminkan","actor":0,"target":1,"pai":"1p","consumed":["1p","1p","1p"]})" "\n"
                       R"({"type":"tsumo","actor":0,"pai":"N"})" "\n"
                       R"({"type":"dora","dora_marker":"7p"})" "\n"
                       R"({"type":"nukidora","actor":0,"pai":"N"})" "\n"
                       R"({"type":"tsumo","actor":0,"pai":"8p"})" "\n"
                       R"({"type":"dahai","actor":0,"pai":"8p","tsumogiri":true})"),
            std::string::npos)
      << lines;
}

TEST(MjlogThreePlayer, PointsTextsWithTheAbsentSeatsShareUnpaid) {
  struct row {
    std::string agari, points;
  };
  // ten is what the two payers paid: a tsumo's texts give each payer's share.
  const std::vector<row> rows = {
      {R"(who="0" fromWho="0" ten="30,12000,2" yaku="0,1,1,5")", "跳満6000点∀"},
      {R"(who="1" fromWho="1" ten="40,18000,4" yaku="0,1,1,10")", "三倍満6000-12000点"},
      {R"(who="2" fromWho="2" ten="40,6000,1" yaku="0,1,1,4")", "満貫2000-4000点"},
      {R"(who="1" fromWho="1" ten="30,1500,0" yaku="0,1,52,1")", "30符2飜500-1000点"},
      {R"(who="1" fromWho="0" ten="30,8000,1" yaku="1,1,52,4")", "満貫8000点"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.agari);
    three_player_record x;
    x.end = "<AGARI ba=\"0,0\" " + r.agari + R"( sc="350,0,350,0,350,0,0,0"/>)";
    auto doc = mjlog::read_mjlog(x.text(), true);
    ASSERT_TRUE(doc) << doc.error().text;
    ASSERT_EQ(doc.value().log[0].result.wins.size(), 1u);
    EXPECT_EQ(doc.value().log[0].result.wins[0].points, r.points);
  }
}

TEST(MjlogThreePlayer, RefusalsNameTheKyokuAndTheEntry) {
  struct row {
    std::string name;
    three_player_record xml;
    std::vector<std::string> parts;  // in the reader's refusal, or in the converter's error when `converter`
    bool converter = false;
  };
  auto with = [](std::string three_player_record::*field, std::string value) {
    three_player_record r;
    r.*field = std::move(value);
    return r;
  };
  const std::string hands = R"(hai0="36,37,38,40,41,42,44,45,46,48,49,50,120" hai1="72,73,74,76,77,78,80,81,82,84,85,86,0" hai2="108,109,110,112,113,114,116,117,118,124,125,126,32")";
  const std::vector<row> rows = {
      {"kita of 6p", with(&three_player_record::play, R"(<T56/><N who="0" m="14368"/><T60/><D60/>)"),
       {"<N>", "attribute m", "kyoku 0, seat 0, discard entry 0: a kita of 26, not North (44)"}},
      {"kita by seat 3", with(&three_player_record::play, R"(<T56/><D56/><N who="3" m="30752"/>)"),
       {"kyoku 0, seat 3, discard entry 0: a kita by seat 3"}},
      {"four hands", with(&three_player_record::init, R"(<INIT seed="0,0,0,1,2,132" ten="350,350,350,0" oya="0" )" + hands + R"( hai3="3,7,11,15,16,23,27,31,35,39,43,47,51"/>)"),
       {"<INIT>", "attribute hai3", "a hand for seat 3 in kyoku 0, a three-player record"}},
      {"two hands", with(&three_player_record::init, R"(<INIT seed="0,0,0,1,2,132" ten="350,350,350,0" oya="0" hai0="36,37,38,40,41,42,44,45,46,48,49,50,120" hai1="72,73,74,76,77,78,80,81,82,84,85,86,0" hai2="" hai3=""/>)"),
       {"attribute hai2", "no hand for a seat in kyoku 0"}},
      {"seat 3 deals", with(&three_player_record::init, R"(<INIT seed="3,0,0,1,2,132" ten="350,350,350,0" oya="3" )" + hands + R"( hai3=""/>)"),
       {"attribute oya", "value 3 out of range"}},
      {"kita by a seat without North", with(&three_player_record::play, R"(<T56/><D56/><U57/><N who="1" m="31008"/><U60/><E60/>)"),
       {"kyoku 0", "seat 1", "discard 0"}, true},
      {"2m", with(&three_player_record::play, R"(<T4/><D4/>)"), {"kyoku 0", "seat 0", "take 0"}, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    const std::string xml = r.xml.text();
    auto lines = mjlog::mjlog_to_mjai_lines(xml, three_player());
    ASSERT_FALSE(lines);
    std::string m;
    if (r.converter) {
      ASSERT_NE(lines.error().kind, conv::ErrorKind::mjlog);
      m = conv::describe(lines.error());
      EXPECT_TRUE(mjlog::read_mjlog(xml, true));
    } else {
      ASSERT_EQ(lines.error().kind, conv::ErrorKind::mjlog);
      m = lines.error().text;
      EXPECT_EQ(mjlog::read_mjlog(xml, true).error().text, m);
    }
    for (const std::string& part : r.parts) EXPECT_NE(m.find(part), std::string::npos) << m;
  }
}

TEST(MjlogReader, HeaderChoicesWhereTheRecordIsSilent) {
  // No red fives: no 赤, aka 0, id 16 codes 15; no lobby: no key; gold: no dan;
  // a BYE before the first INIT: log -1, step 0; -0 is written 0.
  record r;
  r.head = R"(<GO type="3"/><UN n0="%E5%BC%8F%41" n1="b" n2="c" n3="d" gold="1,2,3,4" rate="1500.00,-0.0,2074.70,1e3" sx="M,F,C,M"/><BYE who="2"/>)";
  auto doc = mjlog::read_mjlog(r.text());
  ASSERT_TRUE(doc) << doc.error().text;
  EXPECT_EQ(mjlog::write_tenhou6(doc.value(), "x\"\x01"),
            R"({"ver":2.3,"ref":"x\"\u0001","log":[[[0,0,0],[25000,25000,25000,25000],[24],[],)"
            R"([11,12,13,14,15,16,17,18,19,21,22,23,24],[27],[60],[11,12,13,14,15,16,17,18,19,21,22,23,24],[],[],)"
            R"([11,12,13,14,15,16,17,18,19,21,22,23,24],[],[],[11,12,13,14,15,16,17,18,19,21,22,23,24],[],[],)"
            R"(["全員不聴"]]],"connection":[{"what":0,"log":-1,"who":2,"step":0}],"ratingc":"PF4",)"
            R"("rule":{"disp":"般東喰","aka53":0,"aka52":0,"aka51":0},"dan":[],"rate":[1500,0,2074.7,1000],)"
            R"("sx":["M","F","C","M"],"sc":[25000,0,25000,5.5,25000,0,25000,-5.5],"name":["式A","b","c","d"]})");
  // Without GO or UN, red fives and nothing else; the converter's input
  // still equal to what the text gives.
  auto bare = mjlog::read_mjlog("<mjloggm ver=\"2.3\"></mjloggm>");
  ASSERT_TRUE(bare) << bare.error().text;
  const std::string written = mjlog::write_tenhou6(bare.value());
  EXPECT_EQ(written, R"({"ver":2.3,"ref":"","log":[],"ratingc":"PF4",)"
                     R"("rule":{"disp":"","aka53":1,"aka52":1,"aka51":1},"dan":[],"rate":[],"sx":[],"sc":[],)"
                     R"("name":["","","",""]})");
  auto parsed = conv::parse(conv::PaddedText(written));
  ASSERT_TRUE(parsed) << conv::describe(parsed.error());
  EXPECT_TRUE(mjlog::to_raw_log(bare.value()) == parsed.value());
}

TEST(MjlogReader, FlatFormReadsAsTheTreeDoes) {
  const std::string plain = record{}.text();
  const auto with_play = [](std::string play) {
    record r;
    r.play = std::move(play);
    return r.text();
  };
  struct row {
    std::string name, xml;
    bool flat;  // whether the flat reader reads it (else the tree reader does, or refuses it)
  };
  const std::vector<row> rows = {
      {"as tenhou writes it", plain, true},
      {"white space between elements and attributes", replace_all(replace_all(plain, "><", ">\r\n\t<"), "\" ", "\"\n  "), true},
      {"comments", "<!-- a -- b -->" + replace_all(plain, "<T60/>", "<!-- - --><T60/><!---->") + "<!-- c -->\n", true},
      {"byte order mark", "\xEF\xBB\xBF" + plain, true},
      {"single quotes and spaces around =", replace_all(plain, "oya=\"0\"", "oya = '0'"), true},
      {"a space before />", with_play("<T60 /><D60\t/>"), true},
      {"a reference in an unknown element", with_play(R"(<T60 x="1"/><X a="&quot;"/><D60/>)"), false},
      {"an unknown element", with_play(R"(<T60/><X a="1" b='2'/><D60/>)"), true},
      {"a repeated attribute: the first counts", replace_all(plain, "type=\"169\"", "type=\"169\" type=\"185\""), true},
      {"a reference", replace_all(plain, "%41", "%41&amp;"), false},
      {"a declaration", "<?xml version=\"1.0\"?>" + plain, false},
      {"text in the root", with_play("<T60/>x<D60/>"), false},
      {"CDATA in the root", with_play("<T60/><![CDATA[<D60/>]]><D60/>"), false},
      {"an element with content", with_play("<T60></T60><D60/>"), false},
      {"a NUL byte after the root", plain + std::string(1, '\0') + "<x", false},
      {"an empty root", "<mjloggm ver=\"2.3\"/>", false},
      {"a name with a hyphen", with_play("<T60-a/>"), false},
      {"a tile id of four digits", with_play("<T0060/>"), false},
      {"a refused record", with_play("<T136/>"), false},
      {"a comment never closed", plain + "<!-- x", false},
      {"a second root", plain + plain, false},
      {"truncated", plain.substr(0, plain.size() - 1), false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    auto tree = mjlog::read_mjlog_tree(r.xml);
    auto flat = mjlog::read_mjlog_flat(r.xml, true);
    EXPECT_EQ(static_cast<bool>(flat), r.flat);
    if (flat) {
      ASSERT_TRUE(tree) << tree.error().text;
      EXPECT_TRUE(*flat == tree.value());
    }
    // Either way read_mjlog gives the tree's document or its very refusal,
    // and the converter's path the lines of that document.
    auto doc = mjlog::read_mjlog(r.xml);
    ASSERT_EQ(static_cast<bool>(doc), static_cast<bool>(tree));
    auto lines = mjlog::mjlog_to_mjai_lines(r.xml);
    if (!doc) {
      EXPECT_EQ(doc.error().text, tree.error().text);
      ASSERT_FALSE(lines);
      EXPECT_EQ(lines.error().kind, conv::ErrorKind::mjlog);
      EXPECT_EQ(lines.error().text, tree.error().text);
      continue;
    }
    EXPECT_TRUE(doc.value() == tree.value());
    auto want = conv::tenhou_to_mjai_lines(conv::PaddedText(mjlog::write_tenhou6(tree.value())));
    ASSERT_TRUE(lines && want);
    EXPECT_EQ(lines_text(lines.value()), lines_text(want.value()));
  }
}

TEST(MjlogReader, HandsSortByKindWithRedFivesLast) {
  // 16 is the red 5m, 17-19 plain ones; seat 0 holds id 0 twice.
  record r;
  r.init = R"(<INIT seed="0,0,0,1,2,51" ten="250,250,250,250" oya="0" )"
           R"(hai0="19,16,17,0,0,4,8,12,20,24,28,32,36" hai1="19,16,17,18,1,5,9,13,21,25,29,33,37" )"
           R"(hai2="2,6,10,14,22,26,30,34,38,42,46,50,135" hai3="135,134,133,132,131,130,129,128,127,126,125,124,123"/>)";
  auto doc = mjlog::read_mjlog(r.text());
  ASSERT_TRUE(doc) << doc.error().text;
  const std::string json = mjlog::write_tenhou6(doc.value());
  for (const char* hand : {"[11,11,12,13,14,15,15,51,16,17,18,19,21]", "[11,12,13,14,15,15,15,51,16,17,18,19,21]",
                           "[11,12,13,14,16,17,18,19,21,22,23,24,47]", "[44,45,45,45,45,46,46,46,46,47,47,47,47]"})
    EXPECT_NE(json.find(hand), std::string::npos) << hand;
  // Without red fives, 16 is a plain 5m among the others.
  r.head.replace(r.head.find("169"), 3, "171");
  auto plain = mjlog::read_mjlog(r.text());
  ASSERT_TRUE(plain);
  EXPECT_NE(mjlog::write_tenhou6(plain.value()).find("[11,12,13,14,15,15,15,15,16,17,18,19,21]"), std::string::npos);
}

TEST(MjlogReader, RefusalsSayWhatAndWhere) {
  const auto with_play = [](std::string play) {
    record r;
    r.play = std::move(play);
    return r.text();
  };
  const auto with_head = [](std::string head) {
    record r;
    r.head = std::move(head);
    return r.text();
  };
  const auto with_init = [](std::string init) {
    record r;
    r.init = std::move(init);
    return r.text();
  };
  const std::string huge(50u << 20, '0');
  struct row {
    std::string name, xml;
    std::vector<std::string> parts;  // each must appear in the message
  };
  const std::vector<row> rows = {
      {"not xml", "mjloggm", {"not XML", "byte"}},
      {"empty", "", {"not XML"}},
      {"truncated", record{}.text().substr(0, 300), {"not XML", "byte"}},
      {"mismatched end", "<mjloggm ver=\"2.3\"></GO>", {"not XML"}},
      {"wrong root", "<mjlog ver=\"2.3\"/>", {"wrong root", "<mjlog>"}},
      {"second root", "<mjloggm ver=\"2.3\"/><mjloggm ver=\"2.3\"/>", {"wrong root", "byte 21"}},
      {"no ver", "<mjloggm/>", {"<mjloggm>", "attribute ver", "missing attribute"}},
      {"draw before INIT", "<mjloggm ver=\"2.3\"><GO type=\"169\"/><T12/></mjloggm>",
       {"element 2 <T12>", "a draw before the first INIT"}},
      {"result before INIT", "<mjloggm ver=\"2.3\"><GO type=\"169\"/><RYUUKYOKU/></mjloggm>",
       {"element 2 <RYUUKYOKU>", "before the first INIT"}},
      {"INIT before GO", "<mjloggm ver=\"2.3\">" + record{}.init + "</mjloggm>", {"element 1 <INIT>", "no GO"}},
      {"draw tile id", with_play("<T136/>"), {"element 4 <T136>", "tile id outside 0-135"}},
      {"discard tile id", with_play("<G999999999999999999999/>"), {"<G999999999999999999999>", "tile id"}},
      {"hand tile id", with_init(R"(<INIT seed="0,0,0,1,2,51" ten="250,250,250,250" oya="0" hai0="0,4,8,12,17,20,24,28,32,36,40,44,136" hai1="1" hai2="2" hai3="3"/>)"),
       {"element 3 <INIT>", "attribute hai0", "tile id 136 outside 0-135"}},
      {"short hand", with_init(R"(<INIT seed="0,0,0,1,2,51" ten="250,250,250,250" oya="0" hai0="0,4" hai1="1" hai2="2" hai3="3"/>)"),
       {"attribute hai0", "expected 13 values"}},
      {"dora tile id", with_play(R"(<DORA hai="-1"/>)"), {"<DORA>", "attribute hai", "tile id -1 outside 0-135"}},
      {"seat", with_play(R"(<BYE who="4"/>)"), {"element 4 <BYE>", "attribute who", "seat 4 outside 0-3"}},
      {"call seat", with_play(R"(<N who="-1" m="1"/>)"), {"<N>", "attribute who", "seat -1 outside 0-3"}},
      {"kita", with_play(R"(<N who="1" m="31008"/>)"), {"<N>", "attribute m", "kyoku 0, seat 1, discard entry 0: a kita in a four-player record"}},
      {"kita with a from seat", with_play(R"(<N who="1" m="31009"/>)"), {"call code 31009 decodes to no call"}},
      {"no hand for seat 3", with_init(R"(<INIT seed="0,0,0,1,2,51" ten="250,250,250,250" oya="0" hai0="0,4,8,12,17,20,24,28,32,36,40,44,48" hai1="1,5,9,13,18,21,25,29,33,37,41,45,49" hai2="2,6,10,14,19,22,26,30,34,38,42,46,50" hai3=""/>)"),
       {"attribute hai3", "no hand for a seat in kyoku 0, a four-player record"}},
      {"chi from opposite", with_play(R"(<N who="1" m="31014"/>)"), {"call code 31014 decodes to no call"}},
      {"chi past the suits", with_play(R"(<N who="1" m="64519"/>)"), {"decodes to no call"}},
      {"pon of no tile", with_play(R"(<N who="1" m="65417"/>)"), {"decodes to no call"}},
      {"pon from itself", with_play(R"(<N who="1" m="8"/>)"), {"decodes to no call"}},
      {"kan of no tile", with_play(R"(<N who="1" m="34817"/>)"), {"decodes to no call"}},
      {"missing oya", with_init(R"(<INIT seed="0,0,0,1,2,51" ten="250,250,250,250" hai0="0"/>)"),
       {"element 3 <INIT>", "attribute oya", "missing attribute"}},
      {"missing m", with_play(R"(<N who="1"/>)"), {"attribute m", "missing attribute"}},
      {"missing sc", with_play(R"(<AGARI who="0" fromWho="0" ten="30,1000,0" yaku="0,1"/>)"),
       {"<AGARI>", "attribute sc", "missing attribute"}},
      {"missing yaku", with_play(R"(<AGARI who="0" fromWho="0" ten="30,1000,0" sc="0,0,0,0,0,0,0,0"/>)"),
       {"attribute yaku", "missing attribute"}},
      {"missing name", with_head(R"(<GO type="169"/><UN n0="a" n1="b" n3="d"/>)"), {"<UN>", "attribute n2"}},
      {"broken name", with_head(R"(<GO type="169"/><UN n0="%4" n1="b" n2="c" n3="d"/>)"), {"attribute n0", "percent"}},
      {"name not UTF-8", with_head(R"(<GO type="169"/><UN n0="%FF" n1="b" n2="c" n3="d"/>)"), {"attribute n0", "UTF-8"}},
      {"rate", with_head(R"(<GO type="169"/><UN n0="a" n1="b" n2="c" n3="d" rate="1e999"/>)"), {"attribute rate", "finite"}},
      {"second result", record{}.text().insert(record{}.text().size() - 10, record{}.end),
       {"a second result"}},
      {"draw type", with_play(R"(<RYUUKYOKU type="xyz" ba="0,0"/>)"), {"attribute type", "unknown draw type"}},
      {"doctype", "<!DOCTYPE mjloggm><mjloggm ver=\"2.3\"/>", {"DOCTYPE"}},
      {"entity declarations",
       "<!DOCTYPE m [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]><mjloggm ver=\"&b;\"/>",
       {"DOCTYPE"}},
      {"external entity", "<!DOCTYPE m SYSTEM \"file:///etc/passwd\"><mjloggm ver=\"2.3\"/>", {"DOCTYPE"}},
      {"undeclared entity", "<mjloggm ver=\"&ver;\"/>", {"attribute ver", "not a finite number"}},
      {"unclosed tags", "<mjloggm ver=\"2.3\">" + [] {
         std::string s;
         for (int i = 0; i < 100000; ++i) s += "<a>";
         return s;
       }(), {"not XML"}},
      {"huge attribute", with_play("<BYE who=\"" + huge + "7\"/>"), {"element 4 <BYE>", "seat 7 outside 0-3"}},
      {"three players", with_head(R"(<GO type="185"/>)"), {}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    auto doc = mjlog::read_mjlog(r.xml);
    ASSERT_FALSE(doc);
    const std::string& m = doc.error().text;
    if (r.parts.empty()) {
      EXPECT_EQ(m, mjlog::three_player_message);
    }
    for (const std::string& part : r.parts) EXPECT_NE(m.find(part), std::string::npos) << m;
  }
  // The template itself is a record.
  EXPECT_TRUE(mjlog::read_mjlog(record{}.text()));
}

TEST(MjlogPipeline, ConverterRefusalsKeepTheirStage) {
  // A record the converter refuses: seat 1 pons 1m after a 7p discard.
  record r;
  r.play = R"(<T60/><D60/><N who="1" m="11"/>)";
  auto doc = mjlog::read_mjlog(r.text());
  ASSERT_TRUE(doc);
  auto via_text = conv::tenhou_to_mjai_lines(conv::PaddedText(mjlog::write_tenhou6(doc.value())));
  ASSERT_FALSE(via_text);
  auto direct = mjlog::mjlog_to_mjai_lines(r.text());
  ASSERT_FALSE(direct);
  const conv::Error& e = direct.error();
  EXPECT_EQ(conv::stage_of(e.kind), via_text.error());
  // The converter's own error, found without a second run: it names the
  // same kyoku, seat and entry, with no byte of a text the XML never held.
  EXPECT_FALSE(e.offset.has_value());
  conv::Error located = conv::convert_text(conv::PaddedText(mjlog::write_tenhou6(doc.value()))).error();
  EXPECT_TRUE(located.offset.has_value());
  located.offset.reset();
  EXPECT_EQ(conv::describe(e), conv::describe(located));
}

}  // namespace
}  // namespace kifuzan::test
