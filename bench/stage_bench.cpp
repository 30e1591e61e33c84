// Each stage of the pipeline on the real records, as MB/s of input text.
// Usage: stage_bench [--benchmark_filter=...]; the records come from
// KIFUZAN_CORPUS (a folder of *.json) or the shared corpus beside the project.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "corpus.h"
#include "kifuzan/conv/convert.h"
#include "kifuzan/conv/document.h"
#include "kifuzan/conv/log.h"
#include "kifuzan/conv/pipeline.h"
#include "mjai/json_writer.h"

namespace {

using namespace kifuzan::conv;

const std::vector<bench::Record>& records() {
  static const std::vector<bench::Record> r = [] {
    const char* dir = std::getenv("KIFUZAN_CORPUS");
    return bench::load_records(dir ? dir : KIFUZAN_SHARED_DIR "/corpus/four_player");
  }();
  return r;
}

std::size_t total_bytes() {
  std::size_t n = 0;
  for (const auto& r : records()) n += r.text.size();
  return n;
}

void report(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * total_bytes()));
  state.counters["records"] = static_cast<double>(records().size());
}

void parse_stage(benchmark::State& state) {
  for (auto _ : state)
    for (const auto& r : records()) benchmark::DoNotOptimize(parse(r.text));
  report(state);
}

void normalise_stage(benchmark::State& state) {
  std::vector<RawLog> raws;
  for (auto _ : state) {
    state.PauseTiming();
    raws.clear();
    for (const auto& r : records()) raws.push_back(std::move(parse(r.text)).value());
    state.ResumeTiming();
    for (auto& raw : raws) benchmark::DoNotOptimize(normalise(std::move(raw)));
  }
  report(state);
}

std::vector<Log> logs() {
  std::vector<Log> out;
  for (const auto& r : records()) out.push_back(std::move(normalise(std::move(parse(r.text)).value())).value());
  return out;
}

void convert_stage(benchmark::State& state) {
  const std::vector<Log> ls = logs();
  for (auto _ : state)
    for (const Log& l : ls) benchmark::DoNotOptimize(convert_game(l));
  report(state);
}

void serialize_stage(benchmark::State& state) {
  const std::vector<Log> ls = logs();  // the events point into these
  std::vector<std::vector<Event>> games;
  for (const Log& l : ls) games.push_back(std::move(convert_game(l)).value());
  std::string out;
  for (auto _ : state)
    for (const auto& g : games) {
      out.clear();
      for (const Event& e : g) {
        mjai::write_event(out, e);
        out.push_back('\n');
      }
      benchmark::DoNotOptimize(out.data());
    }
  report(state);
}

void whole_pipeline(benchmark::State& state) {
  for (auto _ : state)
    for (const auto& r : records()) benchmark::DoNotOptimize(tenhou_to_mjai_lines(r.text));
  report(state);
}

// Text in memory to event lines, one record at a time: the time per game.
void one_game(benchmark::State& state) {
  const auto& r = records()[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) benchmark::DoNotOptimize(tenhou_to_mjai_lines(r.text));
  state.SetLabel(r.name);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * r.text.size()));
}

void each_record(benchmark::internal::Benchmark* b) {
  for (std::size_t i = 0; i < records().size(); ++i) b->Arg(static_cast<std::int64_t>(i));
}

BENCHMARK(parse_stage);
BENCHMARK(normalise_stage);
BENCHMARK(convert_stage);
BENCHMARK(serialize_stage);
BENCHMARK(whole_pipeline);
BENCHMARK(one_game)->Apply(each_record);

}  // namespace

BENCHMARK_MAIN();
