// The output's lines as their one view gives them, whole and block by block:
// which lines a reader may copy without decoding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kifuzan/conv/input.h"
#include "kifuzan/conv/pipeline.h"
#include "test_logs.h"

namespace kifuzan::test {
namespace {

bool all_ascii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

struct blocks_seen final : conv::LineSink {
  std::vector<std::size_t> ascii_from;
  std::vector<std::string> lines;
  bool block(const conv::LinesView& b) override {
    ascii_from.push_back(b.ascii_from);
    for (std::size_t i = 0; i < b.size(); ++i) {
      EXPECT_TRUE(!b.ascii(i) || all_ascii(b.line(i))) << b.line(i);
      lines.emplace_back(b.line(i));
    }
    return true;
  }
};

// Only the start_game line can need the decoder, and only when a name
// becomes bytes beyond ASCII in it; escapes written as escapes do not.
TEST(lines_test, only_a_start_game_with_names_beyond_ascii_is_decoded) {
  struct Case {
    const char* names;
    std::size_t ascii_from;
  };
  const Case cases[] = {
      {R"(["A","B","C","D"])", 0},
      {R"(["A","B","C","\u0001\"\\"])", 0},    // written back as escapes
      {R"(["A","B","C","\u007f"])", 0},        // DEL is ASCII
      {R"(["A","\u00e9","C","D"])", 1},        // an escape in, UTF-8 out
      {R"(["鬼ヅモ","B","C","D"])", 1},
      {R"(["A","B","C","\ud83c\udc04"])", 1},  // a surrogate pair: four bytes
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names);
    log_json log;
    log.name = c.names;
    const std::string text = log.text();
    auto whole = conv::tenhou_to_mjai_lines(conv::PaddedText(text));
    ASSERT_TRUE(whole);
    const conv::LinesView v = whole.value().view();
    EXPECT_EQ(v.ascii_from, c.ascii_from);
    EXPECT_EQ(all_ascii(v.line(0)), c.ascii_from == 0);
    for (std::size_t i = v.ascii_from; i < v.size(); ++i) EXPECT_TRUE(all_ascii(v.line(i))) << v.line(i);

    blocks_seen b;
    ASSERT_TRUE(conv::tenhou_to_mjai_blocks(conv::PaddedText(text), b));
    EXPECT_EQ(b.ascii_from, (std::vector<std::size_t>{c.ascii_from, 0, 0}));
    std::vector<std::string> want;
    for (std::size_t i = 0; i < v.size(); ++i) want.emplace_back(v.line(i));
    EXPECT_EQ(b.lines, want);
  }
}

}  // namespace
}  // namespace kifuzan::test
