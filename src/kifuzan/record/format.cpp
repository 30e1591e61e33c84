#include "kifuzan/record/format.h"

#include <array>

namespace kifuzan::record {
namespace {

bool is_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::size_t skip_space(std::string_view t, std::size_t i) noexcept {
  while (i < t.size() && is_space(t[i])) {
    ++i;
  }
  return i;
}

// The end of the JSON string whose opening quote is at t[i] (one past its
// closing quote), or npos.
std::size_t skip_string(std::string_view t, std::size_t i) noexcept {
  for (++i; i < t.size(); ++i) {
    if (t[i] == '\\') {
      ++i;
    } else if (t[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// One past the value starting at t[i] (a string, a nested object or array,
// or a scalar up to the next ',' or closing bracket at this depth), or npos.
std::size_t skip_value(std::string_view t, std::size_t i) noexcept {
  int depth = 0;
  while (i < t.size()) {
    const char c = t[i];
    if (c == '"') {
      i = skip_string(t, i);
      if (i == std::string_view::npos) {
        return i;
      }
      if (depth == 0) {
        return i;
      }
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
    } else if (c == '}' || c == ']') {
      if (depth == 0) {
        return i;
      }
      if (--depth == 0) {
        return i + 1;
      }
    } else if (c == ',' && depth == 0) {
      return i;
    }
    ++i;
  }
  return std::string_view::npos;
}

// Keys that only a tenhou.net/6 document has at its top level.
constexpr std::array<std::string_view, 13> k_document_keys = {
    "title", "name", "rule", "log", "ref", "sc", "owari", "dan", "rate", "sx", "lobby", "ratingc", "connection"};

// Whether the object whose '{' is at t[i] is an mjai event: its top-level
// keys are read until "type" (an event) or a document's key (not one) shows.
// Documents put such a key first, so a document is told at once.
bool is_event_object(std::string_view t, std::size_t i) noexcept {
  i = skip_space(t, i + 1);
  while (i < t.size() && t[i] == '"') {
    const std::size_t end = skip_string(t, i);
    if (end == std::string_view::npos) {
      return false;
    }
    const std::string_view key = t.substr(i + 1, end - i - 2);
    if (key == "type") {
      return true;
    }
    for (std::string_view k : k_document_keys) {
      if (key == k) {
        return false;
      }
    }
    i = skip_space(t, end);
    if (i >= t.size() || t[i] != ':') {
      return false;
    }
    i = skip_value(t, skip_space(t, i + 1));
    if (i == std::string_view::npos) {
      return false;
    }
    i = skip_space(t, i);
    if (i >= t.size() || t[i] != ',') {
      return false;
    }
    i = skip_space(t, i + 1);
  }
  return false;
}

}  // namespace

Format detect_format(std::string_view t) noexcept {
  std::size_t i = t.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  i = skip_space(t, i);
  if (i >= t.size()) {
    return Format::tenhou6;
  }
  if (t[i] == '<') {
    return Format::mjlog;
  }
  if (t[i] == '[') {
    i = skip_space(t, i + 1);
  }
  return i < t.size() && t[i] == '{' && is_event_object(t, i) ? Format::mjai : Format::tenhou6;
}

Compression detect_compression(std::string_view d) noexcept {
  if (d.starts_with("\x1f\x8b")) {
    return Compression::gzip;
  }
  if (d.size() >= 10 && d.starts_with("BZh") && d[3] >= '1' && d[3] <= '9' &&
      (d.substr(4, 6) == "1AY&SY" || d.substr(4, 6) == "\x17rE8P\x90")) {
    return Compression::bz2;
  }
  return Compression::none;
}

const char* compression_name(Compression c) noexcept {
  switch (c) {
    case Compression::gzip:
      return "gzip";
    case Compression::bz2:
      return "bz2";
    case Compression::none:
      break;
  }
  return nullptr;
}

const char* format_name(Format f) noexcept {
  switch (f) {
    case Format::mjlog:
      return "mjlog";
    case Format::mjai:
      return "mjai";
    case Format::tenhou6:
      break;
  }
  return "tenhou6";
}

}  // namespace kifuzan::record
