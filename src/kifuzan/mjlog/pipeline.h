// From a read mjlog document to tenhou.net/6 JSON text, or on to mjai lines
// through the converter's own stages, without a JSON round trip.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "kifuzan/conv/document.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"
#include "kifuzan/mjlog/document.h"
#include "base/result.h"

namespace kifuzan::mjlog {

// Compact tenhou.net/6 JSON text, non-ASCII characters as UTF-8. `ref`, when
// given (UTF-8), stands in the "ref" key in place of the document's own.
std::string write_tenhou6(const Document& doc, std::optional<std::string_view> ref = std::nullopt);

// The converter's input, equal field for field to what conv::parse gives for
// write_tenhou6(doc).
conv::RawLog to_raw_log(Document doc);

// read_mjlog, then the converter's normalise, convert and serialize stages:
// the same lines as tenhou_to_mjai_lines of the document's JSON text. A
// failure is read_mjlog's (kind mjlog), or the error the converter gives for
// that text without its byte offset: the XML holds no such text.
kifuzan::base::result<conv::Lines, conv::Error> mjlog_to_mjai_lines(std::string_view xml);

// The same with the converter's `options`: a three-player record too when
// they allow it (read_mjlog's any_players), in the form they choose; the
// lines of conv::convert_text(write_tenhou6(doc), options).
kifuzan::base::result<conv::Lines, conv::Error> mjlog_to_mjai_lines(std::string_view xml, const conv::Options& options);

}  // namespace kifuzan::mjlog
