// Whole pipeline on arbitrary bytes: mostly exercises the JSON reader and
// normalisation; the structure harness goes deeper into the converter.
#include <cstddef>
#include <cstdint>

#include "invariants.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kifuzan::fuzz::run_pipeline_checks(data, size);
  return 0;
}
