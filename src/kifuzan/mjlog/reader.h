// The two ways read_mjlog reads a record, apart, for the converter's path
// and for tests that hold one against the other.
#pragma once

#include <optional>
#include <string_view>

#include "kifuzan/mjlog/document.h"
#include "base/result.h"

namespace kifuzan::mjlog {

// Straight from the text, when it has the flat form tenhou writes (empty
// elements in <mjloggm>, white space and comments between them, no
// references). Nothing when the text is not in that form or the record is
// refused: read_mjlog_tree then gives the document or says why. Without
// texts, each win's points text and yaku texts are left empty (one empty
// yaku per yaku), which the converter never reads.
std::optional<Document> read_mjlog_flat(std::string_view xml, bool texts, bool any_players = false);

// Through pugixml's tree: any XML it reads, and every refusal worded.
kifuzan::base::result<Document, conv::Error> read_mjlog_tree(std::string_view xml, bool any_players = false);

}  // namespace kifuzan::mjlog
