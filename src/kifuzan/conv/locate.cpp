#include "kifuzan/conv/locate.h"

#include <simdjson.h>

#include <utility>

namespace kifuzan::conv {
namespace {

namespace od = simdjson::ondemand;

// The reader's own limit: the document's array or object is level 1.
constexpr std::size_t max_depth = 128;

std::size_t offset_of(const PaddedText& text, const char* p) { return static_cast<std::size_t>(p - text.data()); }

// Reads every value below v, as the reader's parser would, and stops at the
// first refusal. `where` is set to a depth overrun's bracket.
simdjson::error_code walk(od::value v, std::size_t depth, const char*& where) {
  od::json_type t;
  if (auto e = v.type().get(t)) return e;
  switch (t) {
    case od::json_type::array:
    case od::json_type::object: {
      if (depth > max_depth) {
        where = v.raw_json_token().data();
        return simdjson::DEPTH_ERROR;
      }
      if (t == od::json_type::array) {
        od::array a;
        if (auto e = v.get_array().get(a)) return e;
        for (auto child : a) {
          od::value c;
          if (auto e = child.get(c)) return e;
          if (auto e = walk(c, depth + 1, where)) return e;
        }
        return simdjson::SUCCESS;
      }
      od::object o;
      if (auto e = v.get_object().get(o)) return e;
      for (auto member : o) {
        od::field f;
        if (auto e = std::move(member).get(f)) return e;
        std::string_view key;
        if (auto e = f.unescaped_key().get(key)) return e;
        if (auto e = walk(f.value(), depth + 1, where)) return e;
      }
      return simdjson::SUCCESS;
    }
    case od::json_type::number: {
      od::number n;
      return v.get_number().get(n);
    }
    case od::json_type::string: {
      std::string_view s;
      return v.get_string().get(s);
    }
    case od::json_type::boolean: {
      bool b;
      return v.get_bool().get(b);
    }
    case od::json_type::null: {
      bool null;
      if (auto e = v.is_null().get(null)) return e;
      return null ? simdjson::SUCCESS : simdjson::N_ATOM_ERROR;
    }
  }
  return simdjson::SUCCESS;
}

// The first byte of the first character that is not UTF-8. A prefix that
// ends before a lead byte is valid exactly when the error lies beyond it,
// so the largest such prefix is found by halving, with the library's check.
std::optional<std::size_t> first_bad_utf8(std::string_view s) {
  const auto continuation = [&](std::size_t i) { return i < s.size() && (s[i] & 0xC0) == 0x80; };
  std::size_t lo = 0, hi = s.size();  // lo ends a valid prefix; hi does not
  if (simdjson::validate_utf8(s.data(), hi)) return std::nullopt;
  while (hi - lo > 1) {
    std::size_t mid = lo + (hi - lo) / 2;
    while (mid < hi && continuation(mid)) ++mid;
    if (mid == hi) {
      mid = lo + (hi - lo) / 2;
      while (mid > lo && continuation(mid)) --mid;
      if (mid == lo) break;
    }
    (simdjson::validate_utf8(s.data(), mid) ? lo : hi) = mid;
  }
  return lo;
}

}  // namespace

std::optional<std::size_t> value_offset(const PaddedText& text, std::span<const PathStep> path) {
  od::parser parser;
  od::document doc;
  if (parser.iterate(text.data(), text.size(), text.size() + PaddedText::padding).get(doc)) return std::nullopt;
  od::json_type t;
  if (doc.type().get(t)) return std::nullopt;
  if (path.empty() || (t != od::json_type::array && t != od::json_type::object)) {
    const char* p;
    if (!path.empty() || doc.current_location().get(p)) return std::nullopt;
    return offset_of(text, p);
  }
  od::value v;
  if (doc.get_value().get(v)) return std::nullopt;
  for (const PathStep& step : path) {
    if (v.type().get(t)) return std::nullopt;
    bool found = false;
    std::uint32_t i = 0;
    if (t == od::json_type::array) {
      od::array a;
      if (v.get_array().get(a)) return std::nullopt;
      for (auto child : a) {
        if (i++ != step.index) continue;
        if (child.get(v)) return std::nullopt;
        found = true;
        break;
      }
    } else if (t == od::json_type::object) {
      od::object o;
      if (v.get_object().get(o)) return std::nullopt;
      for (auto member : o) {
        od::field f;
        std::string_view key;
        if (std::move(member).get(f) || f.unescaped_key().get(key)) return std::nullopt;
        if (step.key.empty() ? i++ != step.index : key != step.key) continue;
        v = f.value();
        found = true;
        break;
      }
    }
    if (!found) return std::nullopt;
  }
  return offset_of(text, v.raw_json_token().data());
}

std::optional<std::size_t> json_error_offset(const PaddedText& text, int code) {
  switch (code) {
    case simdjson::UTF8_ERROR: return first_bad_utf8(text.view());
    case simdjson::MEMALLOC:
    case simdjson::CAPACITY:
    case simdjson::UNCLOSED_STRING:
    case simdjson::UNESCAPED_CHARS: return std::nullopt;
    default: break;
  }
  od::parser parser;
  od::document doc;
  if (parser.iterate(text.data(), text.size(), text.size() + PaddedText::padding).get(doc)) return std::nullopt;
  const char* where = nullptr;
  simdjson::error_code e;
  od::json_type t;
  if ((e = doc.type().get(t)) == simdjson::SUCCESS) {
    if (t == od::json_type::array || t == od::json_type::object) {
      od::value v;
      e = doc.get_value().get(v);
      if (!e) e = walk(v, 1, where);
    } else {
      // A scalar document: its reading checks the end too.
      std::string_view raw;
      e = doc.raw_json_token().get(raw);
      if (!e) {
        od::number n;
        std::string_view s;
        bool b;
        switch (t) {
          case od::json_type::number: e = doc.get_number().get(n); break;
          case od::json_type::string: e = doc.get_string().get(s); break;
          case od::json_type::boolean: e = doc.get_bool().get(b); break;
          default: e = doc.is_null().get(b); if (!e && !b) e = simdjson::N_ATOM_ERROR; break;
        }
      }
    }
  }
  const char* p;
  if (!e) {
    // Read through: what is left after the document is the fault, if any.
    if (doc.current_location().get(p)) return std::nullopt;  // refused by the reader's parser only
    return offset_of(text, p);
  }
  if (where) return offset_of(text, where);
  // simdjson refuses an unclosed array or object before reading into it.
  if (e == simdjson::INCOMPLETE_ARRAY_OR_OBJECT) return text.size();
  // Past the last token: the text ended early.
  if (doc.current_location().get(p)) return text.size();
  return offset_of(text, p);
}

}  // namespace kifuzan::conv
