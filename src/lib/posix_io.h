// Whole-file reads and line writes on file descriptors, with no Python in
// them, so that they also run with the GIL released. Each takes what to do
// when a signal interrupts a call: `on_eintr()` returns true to retry, false
// to give up (the caller then knows why).
#pragma once

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>

#include "base/padded_text.h"

namespace kifuzan::io {

// Outcome of a call: done, a system error (in `error`), or given up after an
// interruption.
enum class Status { ok, error, interrupted };

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  void reset(int fd) noexcept {
    close();
    fd_ = fd;
  }
  // Close errors are not reported: every byte was handed to the kernel by a
  // successful write already.
  void close() noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }

 private:
  int fd_;
};

// Runs the system call `call` until it does not fail with EINTR: its
// result, or -1 with `status` set (and `error` for a system error).
template <class Call, class OnEintr>
auto retrying(Call call, OnEintr& on_eintr, Status& status, int& error) {
  for (;;) {
    const auto r = call();
    if (r >= 0) {
      return r;
    }
    if (errno != EINTR) {
      status = Status::error;
      error = errno;
      return r;
    }
    if (!on_eintr()) {
      status = Status::interrupted;
      return r;
    }
  }
}

// open(2): the descriptor, or -1 with `status` set.
template <class OnEintr>
int open_file(const char* path, int flags, mode_t mode, OnEintr on_eintr, Status& status, int& error) {
  status = Status::ok;
  return retrying([&] { return ::open(path, flags, mode); }, on_eintr, status, error);
}

// read(2): bytes read (0 at end of file), or -1 with `status` set.
template <class OnEintr>
ssize_t read_some(int fd, void* p, std::size_t n, OnEintr& on_eintr, Status& status, int& error) {
  return retrying([&] { return ::read(fd, p, n); }, on_eintr, status, error);
}

// Reads the whole file into `out`. The file's reported size only pre-sizes
// the buffer, so files that report 0 (/proc, pipes) or change while being
// read come out whole.
template <class OnEintr>
Status read_whole(int fd, std::size_t size_hint, base::PaddedText& out, OnEintr on_eintr, int& error) {
  Status status = Status::ok;
  std::size_t capacity = size_hint > 0 ? size_hint : 8192;
  base::PaddedText buf(capacity);
  std::size_t len = 0;
  for (;;) {
    if (len == capacity) {
      // Full: probe for end of file before growing, so that a file whose size
      // was reported correctly is never copied.
      char probe[8192];
      const ssize_t r = read_some(fd, probe, sizeof probe, on_eintr, status, error);
      if (r < 0) {
        return status;
      }
      if (r == 0) {
        break;
      }
      const auto got = static_cast<std::size_t>(r);
      capacity = std::max(capacity * 2, len + got);
      base::PaddedText grown(capacity);
      std::memcpy(grown.data(), buf.data(), len);
      std::memcpy(grown.data() + len, probe, got);
      len += got;
      buf = std::move(grown);
      continue;
    }
    const ssize_t r = read_some(fd, buf.data() + len, capacity - len, on_eintr, status, error);
    if (r < 0) {
      return status;
    }
    if (r == 0) {
      break;
    }
    len += static_cast<std::size_t>(r);
  }
  buf.truncate(len);
  out = std::move(buf);
  return Status::ok;
}

// Writes all bytes, continuing after short writes.
template <class OnEintr>
Status write_all(int fd, const char* p, std::size_t n, OnEintr& on_eintr, int& error) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) {
        if (on_eintr()) {
          continue;
        }
        return Status::interrupted;
      }
      error = errno;
      return Status::error;
    }
    if (w == 0) {
      error = EIO;
      return Status::error;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return Status::ok;
}

// Writes every line in chunks of whole lines of up to 64 KiB each; a single
// longer line goes in one chunk of its own, so a failed write leaves whole
// lines behind. `text` holds the lines, `ends` the offset of each one's '\n'.
template <class OnEintr>
Status write_lines(int fd, std::string_view text, std::span<const std::size_t> ends, OnEintr on_eintr, int& error) {
  constexpr std::size_t chunk = 64 * 1024;
  const std::size_t n = ends.size();
  std::size_t i = 0;
  std::size_t begin = 0;
  while (i < n) {
    // Last line k >= i whose '\n' still fits in [begin, begin + chunk).
    auto it = std::upper_bound(ends.begin() + static_cast<std::ptrdiff_t>(i), ends.end(), begin + chunk - 1);
    std::size_t k = static_cast<std::size_t>(it - ends.begin());
    k = k > i ? k - 1 : i;
    const std::size_t stop = ends[k] + 1;
    const Status s = write_all(fd, text.data() + begin, stop - begin, on_eintr, error);
    if (s != Status::ok) {
      return s;
    }
    begin = stop;
    i = k + 1;
  }
  return Status::ok;
}

// For calls made with the GIL released: always retry.
struct RetryAlways {
  bool operator()() const noexcept { return true; }
};

}  // namespace kifuzan::io
