// Outputs that appear whole or not at all, and the rest of the file rules of
// a batch run: temporary names, folder making, the rerun check, and removing
// what killed runs left. No Python in here, so all of it runs with the GIL
// released; the package's Python side calls these too, so each rule is here
// only.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "lib/posix_io.h"

namespace kifuzan::io {

// ".<name>.<pid>.<8 hex>.tmp" beside `out`: the pid lets a later run tell a
// dead run's leftovers from a live one's files.
std::string temporary_beside(std::string_view out);

// The writing process's pid when `name` (a file name, no folder) is one of
// our temporary names.
std::optional<pid_t> temporary_owner(std::string_view name) noexcept;

// mkdir -p; 0 or an errno. `made` remembers folders made or seen during one
// run only, so a tree deleted between runs is made again.
int make_folders(const std::string& folder, std::unordered_set<std::string>& made);

// Whether `out` exists and is at least as new as `src` (a record, or the zip
// holding it).
bool up_to_date(const char* src, const char* out) noexcept;

// Removes temporary files of ours below `dir` whose writing process is gone,
// and this process's own that it is not writing now; returns how many.
std::size_t remove_stale_temporaries(const std::string& dir);

// Why an atomic write failed: the step, the errno, and the temporary name.
struct WriteFailure {
  enum class Step : std::uint8_t { create, write, rename, interrupted } step;
  int error = 0;
  std::string tmp;
};

// Marks a temporary name as being written by this process for its lifetime.
class InFlight {
 public:
  explicit InFlight(std::string name);
  ~InFlight();
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::string name_;
};

// Writes `out` through a temporary file beside it: `write(fd, error)` fills
// the file and returns its Status; on success the file is renamed into
// place, otherwise removed. The folder must exist.
template <class Write, class OnEintr>
std::optional<WriteFailure> write_atomic(const std::string& out, Write write, OnEintr on_eintr) {
  for (;;) {
    std::string tmp = temporary_beside(out);
    const std::size_t slash = tmp.find_last_of('/');
    const InFlight mark(tmp.substr(slash == std::string::npos ? 0 : slash + 1));
    Status s = Status::ok;
    int error = 0;
    // 0666: the umask decides, as for any file the user creates.
    FileDescriptor fd(open_file(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666, on_eintr, s, error));
    if (s == Status::interrupted) {
      return WriteFailure{WriteFailure::Step::interrupted, 0, {}};
    }
    if (s != Status::ok) {
      if (error == EEXIST) {
        continue;
      }
      return WriteFailure{WriteFailure::Step::create, error, std::move(tmp)};
    }
    s = write(fd.get(), error);
    fd.close();
    if (s != Status::ok) {
      ::unlink(tmp.c_str());
      return WriteFailure{s == Status::interrupted ? WriteFailure::Step::interrupted : WriteFailure::Step::write,
                          error, std::move(tmp)};
    }
    if (::rename(tmp.c_str(), out.c_str()) != 0) {
      error = errno;
      ::unlink(tmp.c_str());
      return WriteFailure{WriteFailure::Step::rename, error, std::move(tmp)};
    }
    return std::nullopt;
  }
}

}  // namespace kifuzan::io
