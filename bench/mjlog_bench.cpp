// The mjlog reader on the shared XML records: XML -> document as MB/s of
// XML (pugixml alone beside it), the two readers into the converter's input
// side by side, and per game XML -> mjai lines against tenhou_to_mjai_lines
// on the same game's tenhou.net/6 text. Ends with the per-game time ratios.
// Usage: mjlog_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kifuzan/conv/input.h"
#include "kifuzan/conv/pipeline.h"
#include "kifuzan/mjlog/document.h"
#include "kifuzan/mjlog/pipeline.h"
#include "kifuzan/mjlog/reader.h"
#include "kifuzan/conv/document.h"

namespace {

namespace fs = std::filesystem;
using namespace kifuzan;

struct Game {
  std::string name;
  std::string xml;
  conv::PaddedText tenhou6;  // the game's tenhou.net/6 document as shared beside it
};

std::string read_file(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

const std::vector<Game>& games() {
  static const std::vector<Game> g = [] {
    std::vector<Game> out;
    const fs::path dir = fs::path(KIFUZAN_SHARED_DIR) / "corpus" / "mjlog";
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
      const fs::path& p = e.path();
      if (p.extension() != ".xml" || p.stem() == "three_player") continue;
      fs::path json = dir / (p.stem().string() + ".json");
      if (!fs::exists(json)) json = dir / (p.stem().string() + ".tenhou6.json");
      out.push_back({p.stem().string(), read_file(p), conv::PaddedText(read_file(json))});
    }
    std::sort(out.begin(), out.end(), [](const Game& a, const Game& b) { return a.name < b.name; });
    return out;
  }();
  return g;
}

void mjlog_to_document(benchmark::State& state) {
  std::size_t bytes = 0;
  for (const Game& g : games()) bytes += g.xml.size();
  for (auto _ : state)
    for (const Game& g : games()) benchmark::DoNotOptimize(mjlog::read_mjlog(g.xml));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["records"] = static_cast<double>(games().size());
}

// pugixml alone, with the tree reader's flags: what reading through its
// tree would cost before any of the reader's own work.
void xml_parse_only(benchmark::State& state) {
  std::size_t bytes = 0;
  for (const Game& g : games()) bytes += g.xml.size();
  for (auto _ : state)
    for (const Game& g : games()) {
      pugi::xml_document d;
      benchmark::DoNotOptimize(
          d.load_buffer(g.xml.data(), g.xml.size(), pugi::parse_escapes | pugi::parse_doctype, pugi::encoding_utf8));
    }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// The two ways into the converter's input, as MB/s of the XML so that the
// times compare: the mjlog reader as mjlog_to_mjai_lines runs it, and the
// tenhou.net/6 reader on the same games' JSON.
void mjlog_to_converter_input(benchmark::State& state) {
  std::size_t bytes = 0;
  for (const Game& g : games()) bytes += g.xml.size();
  for (auto _ : state)
    for (const Game& g : games()) benchmark::DoNotOptimize(mjlog::to_raw_log(*mjlog::read_mjlog_flat(g.xml, false)));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void tenhou6_to_converter_input(benchmark::State& state) {
  std::size_t bytes = 0;
  for (const Game& g : games()) bytes += g.xml.size();
  for (auto _ : state)
    for (const Game& g : games()) benchmark::DoNotOptimize(conv::parse(g.tenhou6));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void mjlog_to_tenhou6_text(benchmark::State& state) {
  std::size_t bytes = 0;
  for (const Game& g : games()) bytes += g.xml.size();
  for (auto _ : state)
    for (const Game& g : games()) benchmark::DoNotOptimize(mjlog::write_tenhou6(mjlog::read_mjlog(g.xml).value()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

void mjlog_game(benchmark::State& state) {
  const Game& g = games()[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) benchmark::DoNotOptimize(mjlog::mjlog_to_mjai_lines(g.xml));
  state.SetLabel(g.name);
}

void tenhou_game(benchmark::State& state) {
  const Game& g = games()[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) benchmark::DoNotOptimize(conv::tenhou_to_mjai_lines(g.tenhou6));
  state.SetLabel(g.name);
}

void each_game(benchmark::internal::Benchmark* b) {
  for (std::size_t i = 0; i < games().size(); ++i) b->Arg(static_cast<std::int64_t>(i));
}

BENCHMARK(xml_parse_only);
BENCHMARK(mjlog_to_document);
BENCHMARK(mjlog_to_converter_input);
BENCHMARK(tenhou6_to_converter_input);
BENCHMARK(mjlog_to_tenhou6_text);
BENCHMARK(mjlog_game)->Apply(each_game);
BENCHMARK(tenhou_game)->Apply(each_game);

// Per game, the best of 15 alternating rounds of 40 calls each way, so that
// both sides see the same machine load.
template <class F>
double seconds_per_call(F&& f) {
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 40; ++i) benchmark::DoNotOptimize(f());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 40;
}

void print_ratios() {
  std::vector<double> ratios;
  for (const Game& g : games()) {
    double a = 1e9, b = 1e9;
    for (int round = 0; round < 15; ++round) {
      a = std::min(a, seconds_per_call([&] { return mjlog::mjlog_to_mjai_lines(g.xml); }));
      b = std::min(b, seconds_per_call([&] { return conv::tenhou_to_mjai_lines(g.tenhou6); }));
    }
    ratios.push_back(a / b);
    std::printf("%-34s mjlog %8.1f us  tenhou.net/6 %8.1f us  ratio %.2f\n", g.name.c_str(), a * 1e6, b * 1e6, a / b);
  }
  if (ratios.empty()) return;
  std::sort(ratios.begin(), ratios.end());
  std::printf("mjlog_to_mjai_lines / tenhou_to_mjai_lines per game: median %.2f, min %.2f, max %.2f over %zu games\n",
              ratios[ratios.size() / 2], ratios.front(), ratios.back(), ratios.size());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  print_ratios();
  return 0;
}
