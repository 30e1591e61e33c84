// JSONTestSuite's test_parsing files, each placed as the value of an unknown
// key of an otherwise valid log, so that the value sits at nesting level 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "test_logs.h"

namespace {

namespace fs = std::filesystem;

const fs::path suite_dir = fs::path(KIFUZAN_SHARED_DIR) / "jsontestsuite" / "test_parsing";

struct SuiteFile {
  std::string name;
  std::string content;
};

std::vector<SuiteFile> files_with_prefix(char prefix) {
  std::vector<SuiteFile> out;
  for (const auto& entry : fs::directory_iterator(suite_dir)) {
    const std::string name = entry.path().filename().string();
    if (!entry.is_regular_file() || name.size() < 2 || name[0] != prefix || name[1] != '_') continue;
    std::ifstream in(entry.path(), std::ios::binary);
    out.push_back({name, std::string(std::istreambuf_iterator<char>(in), {})});
  }
  std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
  return out;
}

bool accepted(const std::string& content) {
  return kifuzan::test::parse_text(kifuzan::test::with_unknown_value(content)).ok();
}

// The decisions for the implementation-defined files: only numbers that
// underflow a double are accepted. Surrogate escapes without their partner,
// invalid UTF-8, byte-order marks (which land mid-document here), overflowing
// doubles, integers outside -2^63..2^64-1 and nesting past 128 levels are
// refused.
const std::map<std::string, bool> i_decisions = {
    {"i_number_double_huge_neg_exp.json", true},  // 123.456e-789 underflows
    {"i_number_huge_exp.json", false},            // exponent overflows
    {"i_number_neg_int_huge_exp.json", false},    // -1e+9999
    {"i_number_pos_double_huge_exp.json", false}, // 1.5e+9999
    {"i_number_real_neg_overflow.json", false},
    {"i_number_real_pos_overflow.json", false},
    {"i_number_real_underflow.json", true},       // 123e-10000000
    {"i_number_too_big_neg_int.json", false},     // below -2^63
    {"i_number_too_big_pos_int.json", false},     // above 2^64-1
    {"i_number_very_big_negative_int.json", false},
    {"i_object_key_lone_2nd_surrogate.json", false},
    {"i_string_1st_surrogate_but_2nd_missing.json", false},
    {"i_string_1st_valid_surrogate_2nd_invalid.json", false},
    {"i_string_UTF-16LE_with_BOM.json", false},
    {"i_string_UTF-8_invalid_sequence.json", false},
    {"i_string_UTF8_surrogate_U+D800.json", false},
    {"i_string_incomplete_surrogate_and_escape_valid.json", false},
    {"i_string_incomplete_surrogate_pair.json", false},
    {"i_string_incomplete_surrogates_escape_valid.json", false},
    {"i_string_invalid_lonely_surrogate.json", false},
    {"i_string_invalid_surrogate.json", false},
    {"i_string_invalid_utf-8.json", false},
    {"i_string_inverted_surrogates_U+1D11E.json", false},
    {"i_string_iso_latin_1.json", false},
    {"i_string_lone_second_surrogate.json", false},
    {"i_string_lone_utf8_continuation_byte.json", false},
    {"i_string_not_in_unicode_range.json", false},
    {"i_string_overlong_sequence_2_bytes.json", false},
    {"i_string_overlong_sequence_6_bytes.json", false},
    {"i_string_overlong_sequence_6_bytes_null.json", false},
    {"i_string_truncated-utf-8.json", false},
    {"i_string_utf16BE_no_BOM.json", false},
    {"i_string_utf16LE_no_BOM.json", false},
    {"i_structure_500_nested_arrays.json", false},
    {"i_structure_UTF-8_BOM_empty_object.json", false},
};

class jsontestsuite_test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(suite_dir)) GTEST_SKIP() << suite_dir << " is missing";
  }
};

TEST_F(jsontestsuite_test, y_files_accepted) {
  const auto files = files_with_prefix('y');
  EXPECT_GT(files.size(), 50u);
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    EXPECT_TRUE(accepted(f.content));
  }
}

TEST_F(jsontestsuite_test, n_files_refused) {
  const auto files = files_with_prefix('n');
  EXPECT_GT(files.size(), 50u);
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    EXPECT_FALSE(accepted(f.content));
  }
}

TEST_F(jsontestsuite_test, i_files_follow_decisions) {
  const auto files = files_with_prefix('i');
  EXPECT_FALSE(files.empty());
  for (const auto& f : files) {
    SCOPED_TRACE(f.name);
    const auto it = i_decisions.find(f.name);
    ASSERT_NE(it, i_decisions.end()) << "no decision for " << f.name;
    EXPECT_EQ(accepted(f.content), it->second);
  }
}

// The wrapper itself is a valid document whose value may nest 127 levels.
TEST_F(jsontestsuite_test, wrapper_levels) {
  EXPECT_TRUE(accepted("[]"));
  EXPECT_TRUE(accepted(kifuzan::test::nested_arrays(127)));
  EXPECT_FALSE(accepted(kifuzan::test::nested_arrays(128)));
}

}  // namespace
