// Heap use of one conversion, from a counting operator new: the peak of each
// stage and what stays live after it, against the output's size, for the
// lines path (the whole text and its offsets) and the block path (a sink
// that only counts).
// Usage: memory_bench FILE [KYOKU]: with KYOKU, the record's kyoku are
// repeated to that many, as bench/run.py does for its memory figure.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <new>
#include <string>

#define SIMDJSON_EXCEPTIONS 0
#include <simdjson.h>

#include "kifuzan/conv/document.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"

namespace {

std::size_t live = 0, peak = 0;

void* counted(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  live += malloc_usable_size(p);
  if (live > peak) peak = live;
  return p;
}
void uncounted(void* p) noexcept {
  if (!p) return;
  live -= malloc_usable_size(p);
  std::free(p);
}

// The peak since the last mark, above the live bytes at the mark.
struct mark {
  std::size_t base = live;
  mark() { peak = live; }
  std::size_t peak_growth() const { return peak - base; }
  std::size_t live_growth() const { return live - base; }
};

std::string repeated(const std::string& text, std::size_t kyoku) {
  simdjson::dom::parser p;
  simdjson::dom::element doc;
  simdjson::dom::array log;
  if (p.parse(text).get(doc) || doc["log"].get(log) || log.size() == 0) std::exit(2);
  std::string out = "{\"log\":[";
  for (std::size_t i = 0; i < kyoku; ++i) {
    if (i) out += ',';
    out += simdjson::minify(log.at(i % log.size()).value_unsafe());
  }
  out += "],\"name\":" + simdjson::minify(doc["name"].value_unsafe());
  out += ",\"rule\":" + simdjson::minify(doc["rule"].value_unsafe()) + "}";
  return out;
}

// Counts the output, and the live heap while blocks come: what a caller
// making its objects block by block has beside them.
struct counting_sink final : kifuzan::conv::LineSink {
  std::size_t bytes = 0, first = 0, last = 0, most = 0;
  bool block(const kifuzan::conv::LinesView& b) override {
    if (!bytes) first = live;
    bytes += b.text.size();
    last = live;
    if (live > most) most = live;
    return true;
  }
};

double mib(std::size_t n) { return static_cast<double>(n) / (1 << 20); }

}  // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { uncounted(p); }
void operator delete[](void* p) noexcept { uncounted(p); }
void operator delete(void* p, std::size_t) noexcept { uncounted(p); }
void operator delete[](void* p, std::size_t) noexcept { uncounted(p); }

int main(int argc, char** argv) {
  using namespace kifuzan::conv;
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [KYOKU]\n", argv[0]);
    return 2;
  }
  std::ifstream f(argv[1], std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (argc > 2) text = repeated(text, std::strtoul(argv[2], nullptr, 10));
  const PaddedText input(text);
  text = std::string();

  std::size_t out_bytes = 0, lines_peak = 0, lines_held = 0;
  {
    mark m;
    auto r = tenhou_to_mjai_lines(input);
    if (!r) return 1;
    out_bytes = r.value().view().text.size();
    lines_peak = m.peak_growth();
    lines_held = m.live_growth();
  }
  std::size_t blocks_peak = 0;
  counting_sink sink;
  {
    mark m;
    if (!tenhou_to_mjai_blocks(input, sink) || sink.bytes != out_bytes) return 1;
    blocks_peak = m.peak_growth();
    sink.first -= m.base;
    sink.last -= m.base;
    sink.most -= m.base;
  }
  // The stages one by one: the reader's peak (its tree), the typed log.
  std::size_t parse_peak = 0, raw_held = 0, log_held = 0;
  {
    mark m;
    auto raw = parse(input);
    parse_peak = m.peak_growth();
    raw_held = m.live_growth();
    auto log = normalise(std::move(raw).value());
    log_held = m.live_growth();
  }
  std::printf("input %.2f MiB, output %.2f MiB (%zu bytes)\n", mib(input.size()), mib(out_bytes), out_bytes);
  std::printf("%-34s %9s %9s\n", "", "MiB", "/output");
  const auto row = [&](const char* what, std::size_t n) {
    std::printf("%-34s %9.2f %9.2f\n", what, mib(n), static_cast<double>(n) / static_cast<double>(out_bytes));
  };
  row("lines path: peak growth", lines_peak);
  row("lines path: held by the result", lines_held);
  row("lines path: peak beyond the result", lines_peak - lines_held);
  row("block path: peak growth", blocks_peak);
  row("block path: live at the first block", sink.first);
  row("block path: live at the last block", sink.last);
  row("block path: most live at a block", sink.most);
  row("parse: peak growth (reader's tree)", parse_peak);
  row("parse: typed document held", raw_held);
  row("normalise: typed log held", log_held);
  return 0;
}
