// The shared corpus beside the project root, and whole-file reads, for the
// tests that check real records.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace kifuzan::test {

inline const std::filesystem::path shared_dir{KIFUZAN_SHARED_DIR};

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace kifuzan::test
