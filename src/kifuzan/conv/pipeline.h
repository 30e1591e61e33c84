// The four stages run in order on one input text: parse, normalise, convert,
// serialize. This is all the Python layer needs of the core.
#pragma once

#include <cstddef>
#include <optional>

#include "kifuzan/conv/error.h"
#include "kifuzan/conv/input.h"
#include "kifuzan/conv/lines.h"
#include "base/result.h"

namespace kifuzan::conv {

// Runs the whole pipeline. On failure, reports the error of the first stage
// that failed (stage_of(kind) tells which), with its byte offset in the
// input wherever the refused value can be found there.
kifuzan::base::result<Lines, Error> convert_text(const PaddedText& input);

struct RawLog;
struct Options;

// convert_text with `options`: three-player records too, when they allow
// them, in the form they choose. A four-player record gives convert_text's
// lines, but a kita entry in one is refused.
kifuzan::base::result<Lines, Error> convert_text(const PaddedText& input, const Options& options);

// The stages after parse, on a document already read (the mjlog reader's).
// Its errors carry no byte offset: there is no text to point into.
kifuzan::base::result<Lines, Error> convert_raw_log(RawLog&& raw);
kifuzan::base::result<Lines, Error> convert_raw_log(RawLog&& raw, const Options& options);

// The same, reporting only the stage that failed.
kifuzan::base::result<Lines, Stage> tenhou_to_mjai_lines(const PaddedText& input);

// Receives the output block by block, in order: the start_game line, one
// kyoku's lines from start_kyoku to end_kyoku, or the end_game line. The
// view points into a buffer the pipeline reuses for the next block: copy out
// what you keep before returning from block().
class LineSink {
 public:
  // Called once per block. It must not throw: return false instead (after a
  // failed allocation, say). After it returns false no further block comes,
  // and the pipeline fails with Stage::serialize.
  virtual bool block(const LinesView& lines) = 0;

 protected:
  ~LineSink() = default;
};

// The whole pipeline with the output handed to `sink` a block at a time, so
// that only one kyoku's text exists at once: tenhou_to_mjai_lines's lines,
// in the same order, byte for byte. The whole input is read before the first
// block and the reader's tree is gone by then (a thread keeps a small one
// for reuse); each kyoku's part of the typed log is given back once its
// block is handed over. On success, returns the number of lines. On
// failure, reports the first stage that failed like tenhou_to_mjai_lines
// (Stage::serialize when the sink stopped); a conversion failure can come
// after blocks were handed over, which the caller must then discard. Safe
// to call from several threads at once, each with its own sink.
kifuzan::base::result<std::size_t, Stage> tenhou_to_mjai_blocks(const PaddedText& input, LineSink& sink);

// tenhou_to_mjai_blocks with `options`, reporting the error itself (located
// like convert_text's), or nothing when the sink stopped.
kifuzan::base::result<std::size_t, std::optional<Error>> convert_text_blocks(const PaddedText& input, const Options& options,
                                                                    LineSink& sink);


}  // namespace kifuzan::conv
