// Writing a game's lines to a file: two write(2) calls per event (the text,
// then the line feed) against whole lines in chunks of up to 64 KiB.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "corpus.h"
#include "kifuzan/conv/pipeline.h"

namespace {

using kifuzan::conv::Lines;
using kifuzan::conv::LinesView;

std::vector<Lines> games() {
  const char* dir = std::getenv("KIFUZAN_CORPUS");
  std::vector<Lines> out;
  for (const auto& r : bench::load_records(dir ? dir : KIFUZAN_SHARED_DIR "/corpus/four_player"))
    if (auto lines = kifuzan::conv::tenhou_to_mjai_lines(r.text)) out.push_back(std::move(lines).value());
  return out;
}

int open_out() {
  const char* path = std::getenv("KIFUZAN_WRITE_BENCH_FILE");
  return ::open(path ? path : "/tmp/kifuzan-write-bench.mjson", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void write_or_die(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w <= 0) std::abort();
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

void two_writes_per_event(benchmark::State& state) {
  const auto gs = games();
  std::size_t bytes = 0;
  for (auto _ : state)
    for (const Lines& lines : gs) {
      const LinesView g = lines.view();
      const int fd = open_out();
      for (std::size_t i = 0; i < g.size(); ++i) {
        const auto line = g.line(i);
        write_or_die(fd, line.data(), line.size());
        write_or_die(fd, "\n", 1);
      }
      ::close(fd);
      bytes += g.text.size();
    }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

void chunks_of_whole_lines(benchmark::State& state) {
  constexpr std::size_t chunk = 64 * 1024;
  const auto gs = games();
  std::size_t bytes = 0;
  for (auto _ : state)
    for (const Lines& lines : gs) {
      const LinesView g = lines.view();
      const int fd = open_out();
      std::size_t begin = 0, i = 0;
      while (i < g.size()) {
        std::size_t stop = g.end[i] + 1;
        while (i + 1 < g.size() && g.end[i + 1] + 1 - begin <= chunk) stop = g.end[++i] + 1;
        write_or_die(fd, g.text.data() + begin, stop - begin);
        begin = stop;
        ++i;
      }
      ::close(fd);
      bytes += g.text.size();
    }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
}

BENCHMARK(two_writes_per_event);
BENCHMARK(chunks_of_whole_lines);

}  // namespace

BENCHMARK_MAIN();
