// The real records the benchmarks run on: every *.json of a folder.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kifuzan/conv/input.h"

namespace bench {

struct Record {
  std::string name;
  kifuzan::conv::PaddedText text;
};

inline std::vector<Record> load_records(const std::filesystem::path& dir) {
  std::vector<Record> out;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream f(entry.path(), std::ios::binary);
    const std::string s((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    out.push_back({entry.path().filename().string(), kifuzan::conv::PaddedText(s)});
  }
  std::sort(out.begin(), out.end(), [](const Record& a, const Record& b) { return a.name < b.name; });
  return out;
}

}  // namespace bench
