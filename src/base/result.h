// A value or an error, in the spirit of simdjson_result: stages return one of
// these instead of throwing.
#pragma once

#include <utility>
#include <variant>

namespace kifuzan::base {

template <class E>
struct failure {
  E error;
};

template <class E>
failure(E) -> failure<E>;

template <class T, class E>
class result {
 public:
  result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  result(failure<E> f) : v_(std::in_place_index<1>, std::move(f.error)) {}

  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }

  T& value() & { return *std::get_if<0>(&v_); }
  const T& value() const& { return *std::get_if<0>(&v_); }
  T&& value() && { return std::move(*std::get_if<0>(&v_)); }
  const E& error() const& { return *std::get_if<1>(&v_); }
  E&& error() && { return std::move(*std::get_if<1>(&v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace kifuzan::base
