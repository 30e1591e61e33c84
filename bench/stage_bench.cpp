// Each stage of the pipeline on the real records, as MB/s of input text.
// Usage: stage_bench [--benchmark_filter=...]; the records come from
// KIFUZAN_CORPUS (a folder of *.json) or the shared corpus beside the project.
#include <benchmark/benchmark.h>
#include <simdjson.h>

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

// What the reader's two halves cost: simdjson building its tree alone (the
// typed walk is the rest of parse_stage), and, for comparison, simdjson's
// On-Demand front end visiting every value once (numbers parsed, strings
// unescaped): about the least an On-Demand reader would do. Unlike the tree,
// On-Demand picks its kernel when compiled, not at run time: in a build for
// plain x86-64 that is simdjson's scalar fallback.
void simdjson_tree_only(benchmark::State& state) {
  simdjson::dom::parser p;
  for (auto _ : state)
    for (const auto& r : records()) {
      simdjson::dom::element root;
      if (p.parse(r.text.data(), r.text.size(), false).get(root)) state.SkipWithError("parse");
      benchmark::DoNotOptimize(root);
    }
  report(state);
}

bool visit(simdjson::ondemand::value v, std::uint64_t& acc) {
  using simdjson::ondemand::json_type;
  json_type t;
  if (v.type().get(t)) return false;
  switch (t) {
    case json_type::array: {
      simdjson::ondemand::array a;
      if (v.get_array().get(a)) return false;
      for (auto x : a) {
        simdjson::ondemand::value y;
        if (x.get(y) || !visit(y, acc)) return false;
      }
      return true;
    }
    case json_type::object: {
      simdjson::ondemand::object o;
      if (v.get_object().get(o)) return false;
      for (auto f : o) {
        std::string_view k;
        simdjson::ondemand::value y;
        if (f.unescaped_key().get(k) || f.value().get(y) || !visit(y, acc)) return false;
        acc += k.size();
      }
      return true;
    }
    case json_type::number: {
      simdjson::ondemand::number n;
      if (v.get_number().get(n)) return false;
      acc += n.is_int64() ? static_cast<std::uint64_t>(n.get_int64()) : 1;
      return true;
    }
    case json_type::string: {
      std::string_view s;
      if (v.get_string().get(s)) return false;
      acc += s.size();
      return true;
    }
    case json_type::boolean: {
      bool b;
      if (v.get_bool().get(b)) return false;
      acc += b;
      return true;
    }
    case json_type::null: {
      bool null = false;
      return !v.is_null().get(null) && null;
    }
  }
  return false;
}

void simdjson_ondemand_visit(benchmark::State& state) {
  simdjson::ondemand::parser p;
  for (auto _ : state)
    for (const auto& r : records()) {
      simdjson::ondemand::document doc;
      simdjson::ondemand::value root;
      std::uint64_t acc = 0;
      if (p.iterate(r.text.data(), r.text.size(), r.text.size() + PaddedText::padding).get(doc) ||
          doc.get_value().get(root) || !visit(root, acc))
        state.SkipWithError("ondemand");
      benchmark::DoNotOptimize(acc);
    }
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

// The game's events in one list, copied block by block as the converter
// hands them over: the convert stage alone, without writing lines.
std::vector<Event> convert_game(const Log& log) {
  struct game_list final : kifuzan::conv::EventSink {
    kifuzan::conv::Block current;
    std::vector<Event> events;
    kifuzan::conv::Block& block() override { return current; }
    void done() override {
      for (std::size_t i = 0; i < current.size(); ++i) events.push_back(current[i]);
      current.clear();
    }
  } game;
  game.events.reserve(kifuzan::conv::estimated_event_count(log));
  if (!kifuzan::conv::convert_game_to(log, game)) std::abort();
  return std::move(game.events);
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
  for (const Log& l : ls) games.push_back(convert_game(l));
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

// A three-player game against a four-player one on the same path, the
// package's reading of any number of players (nukidora form), as MB/s of
// input. Both sets are minified first: the records are written with
// different amounts of white space, which would be cheap bytes for one side.
std::vector<bench::Record> minified(std::vector<bench::Record> rs) {
  for (auto& r : rs) {
    std::string out(r.text.size(), '\0');
    std::size_t n = 0;
    if (simdjson::minify(r.text.data(), r.text.size(), out.data(), n)) continue;
    out.resize(n);
    r.text = PaddedText(out);
  }
  return rs;
}

const std::vector<bench::Record>& four_player_minified() {
  static const std::vector<bench::Record> r = minified(bench::load_records(KIFUZAN_SHARED_DIR "/corpus/four_player"));
  return r;
}

const std::vector<bench::Record>& three_player_minified() {
  static const std::vector<bench::Record> r = [] {
    auto rs = bench::load_records(KIFUZAN_SHARED_DIR "/corpus/three_player");
    for (auto& x : bench::load_records(KIFUZAN_SHARED_DIR "/corpus/three_player/json")) rs.push_back(std::move(x));
    return minified(std::move(rs));
  }();
  return r;
}

void any_players(benchmark::State& state, const std::vector<bench::Record>& (*set)()) {
  const auto& rs = set();
  if (rs.empty()) {
    state.SkipWithError("no records");
    return;
  }
  Options options;
  options.any_players = true;
  std::size_t bytes = 0;
  for (const auto& r : rs) bytes += r.text.size();
  for (auto _ : state)
    for (const auto& r : rs) {
      auto lines = convert_text(r.text, options);
      if (!lines) state.SkipWithError(r.name.c_str());
      benchmark::DoNotOptimize(lines);
    }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.counters["records"] = static_cast<double>(rs.size());
}

BENCHMARK(parse_stage);
BENCHMARK(simdjson_tree_only);
BENCHMARK(simdjson_ondemand_visit);
BENCHMARK(normalise_stage);
BENCHMARK(convert_stage);
BENCHMARK(serialize_stage);
BENCHMARK(whole_pipeline);
BENCHMARK(one_game)->Apply(each_record);
BENCHMARK_CAPTURE(any_players, four, four_player_minified);
BENCHMARK_CAPTURE(any_players, three, three_player_minified);

}  // namespace

BENCHMARK_MAIN();
