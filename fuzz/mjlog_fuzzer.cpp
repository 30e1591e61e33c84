// The mjlog reader on arbitrary bytes: a refusal is the reader's error; what the
// flat reader reads, pugixml's tree reads into the same document; a record
// it reads gives, straight through the converter's stages, exactly what the
// converter gives for the written tenhou.net/6 text: the same lines, or the
// same error in the same place (less its byte offset). All of it twice: as the four-player path
// reads a record, and with three-player records allowed (in a form chosen
// by the input's length), which changes nothing for a four-player record.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include "invariants.h"
#include "base/utf8.h"
#include "kifuzan/conv/document.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/mjlog/document.h"
#include "kifuzan/mjlog/pipeline.h"
#include "kifuzan/mjlog/reader.h"

namespace {

using namespace kifuzan;
using fuzz::require;

// options is null for the four-player path.
void check(std::string_view xml, const conv::Options* options) {
  const bool any = options != nullptr;
  auto doc = mjlog::read_mjlog(xml, any);
  auto direct = any ? mjlog::mjlog_to_mjai_lines(xml, *options) : mjlog::mjlog_to_mjai_lines(xml);
  auto tree = mjlog::read_mjlog_tree(xml, any);
  if (auto flat = mjlog::read_mjlog_flat(xml, true, any)) {
    require(tree && *flat == tree.value());
    // The converter's form differs only in the texts it never reads.
    auto bare = mjlog::read_mjlog_flat(xml, false, any);
    require(bare && mjlog::to_raw_log(*bare) == mjlog::to_raw_log(*flat));
  }
  require(static_cast<bool>(doc) == static_cast<bool>(tree));
  require(doc ? doc.value() == tree.value() : doc.error().text == tree.error().text);
  if (!doc) {
    require(!doc.error().text.empty());
    require(!direct);
    require(direct.error().kind == conv::ErrorKind::mjlog && direct.error().text == doc.error().text);
    return;
  }
  require(any || doc.value().players == 4);
  const std::string json = mjlog::write_tenhou6(doc.value());
  require(kifuzan::base::is_valid_utf8(json));
  // The written text always reads back, into the converter's very input.
  const conv::PaddedText text(json);
  auto raw = any ? conv::parse_any_players(text) : conv::parse(text);
  require(static_cast<bool>(raw));
  require(mjlog::to_raw_log(doc.value()) == raw.value());
  auto via_text = any ? conv::convert_text(text, *options) : conv::convert_text(text);
  if (!via_text) {
    require(!direct);
    // The same error, less the byte of a text the XML route never writes.
    conv::Error want = via_text.error();
    want.offset.reset();
    require(direct.error().kind != conv::ErrorKind::mjlog && !direct.error().offset &&
            conv::describe(direct.error()) == conv::describe(want));
    return;
  }
  require(static_cast<bool>(direct));
  const conv::LinesView a = direct.value().view();
  const conv::LinesView b = via_text.value().view();
  require(a.text == b.text);
  require(std::ranges::equal(a.end, b.end));
  require(a.ascii_from == b.ascii_from);
  fuzz::check_lines(a, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view xml(reinterpret_cast<const char*>(data), size);
  check(xml, nullptr);
  conv::Options options;
  options.any_players = true;
  options.form = static_cast<conv::ThreePlayerForm>(size % 3);
  check(xml, &options);
  return 0;
}
