// Runs the whole pipeline REPS times over the given records and prints the
// input bytes processed, for instruction counts per byte under callgrind.
// Usage: pipeline_loop REPS FILE...
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kifuzan/conv/pipeline.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s REPS FILE...\n", argv[0]);
    return 2;
  }
  const long reps = std::strtol(argv[1], nullptr, 10);
  std::vector<kifuzan::conv::PaddedText> inputs;
  for (int i = 2; i < argc; ++i) {
    std::ifstream f(argv[i], std::ios::binary);
    const std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    inputs.emplace_back(s);
  }
  std::size_t bytes = 0, lines = 0;
  for (long r = 0; r < reps; ++r)
    for (const auto& in : inputs) {
      auto out = kifuzan::conv::tenhou_to_mjai_lines(in);
      if (out) lines += out.value().view().size();
      bytes += in.size();
    }
  std::printf("%zu %zu\n", bytes, lines);
  return 0;
}
