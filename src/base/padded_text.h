// Input text with the zeroed tail the JSON reader may read past the end.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace kifuzan::base {

class PaddedText {
 public:
  static constexpr std::size_t padding = 64;

  PaddedText() : PaddedText(std::size_t{0}) {}
  explicit PaddedText(std::size_t size) : data_(new char[size + padding]), size_(size) {
    std::memset(data_.get() + size, 0, padding);
  }
  explicit PaddedText(std::string_view s) : PaddedText(s.size()) {
    std::memcpy(data_.get(), s.data(), s.size());
  }

  char* data() noexcept { return data_.get(); }
  const char* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }

  // Shrinks the logical size (after a short read); the tail is zeroed again.
  void truncate(std::size_t n) noexcept {
    if (n < size_) {
      size_ = n;
      std::memset(data_.get() + n, 0, padding);
    }
  }

 private:
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
};

}  // namespace kifuzan::base
