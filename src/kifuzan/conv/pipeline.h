// The four stages run in order on one input text: parse, normalise, convert,
// serialize. This is all the Python layer needs of the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kifuzan/conv/error.h"
#include "kifuzan/conv/input.h"
#include "base/result.h"

namespace kifuzan::conv {

// Every event's JSON text, each followed by '\n', in one buffer.
struct Lines {
  std::unique_ptr<char[]> buffer;
  std::string_view text;  // all lines, in `buffer`
  // end[i] is the offset of the '\n' that ends line i; line i starts at
  // end[i-1] + 1 (or 0).
  std::vector<std::size_t> end;
  // Whether line i is pure ASCII (only player names can be anything else).
  std::vector<bool> ascii;

  std::size_t size() const noexcept { return end.size(); }
  std::string_view line(std::size_t i) const noexcept {
    const std::size_t b = i ? end[i - 1] + 1 : 0;
    return text.substr(b, end[i] - b);
  }
};

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

// One block of the output: the start_game line, one kyoku's lines from
// start_kyoku to end_kyoku, or the end_game line. It lives in a buffer the
// pipeline reuses for the next block: copy out what you keep before
// returning from LineSink::block.
struct LineBlock {
  std::string_view text;  // the block's lines, each followed by '\n'
  // end[i] is the offset in `text` of the '\n' that ends line i; line i
  // starts at end[i-1] + 1 (or 0).
  std::span<const std::size_t> end;
  // Whether all of `text` is ASCII. Only player names can be anything else,
  // so only the start_game block can be false.
  bool ascii = true;

  std::size_t size() const noexcept { return end.size(); }
  std::string_view line(std::size_t i) const noexcept {
    const std::size_t b = i ? end[i - 1] + 1 : 0;
    return text.substr(b, end[i] - b);
  }
};

// Receives the output block by block, in order. For example, one Python
// str per line, made as the blocks come:
//
//   struct to_list final : LineSink {
//     PyObject* list;  // a new list
//     bool block(const LineBlock& b) override {
//       for (std::size_t i = 0; i < b.size(); ++i) {
//         const std::string_view l = b.line(i);
//         PyObject* s = b.ascii ? PyUnicode_New(l.size(), 127) : PyUnicode_DecodeUTF8(l.data(), l.size(), nullptr);
//         ...  // copy an ASCII line in with memcpy(PyUnicode_DATA(s), ...)
//         if (!s || PyList_Append(list, s) < 0) return false;  // the error stays set
//       }
//       return true;
//     }
//   };
class LineSink {
 public:
  // Called once per block. It must not throw: return false instead (after a
  // failed allocation, say). After it returns false no further block comes,
  // and the pipeline fails with Stage::serialize.
  virtual bool block(const LineBlock& lines) = 0;

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
