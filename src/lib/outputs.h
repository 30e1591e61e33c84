// Outputs that appear whole or not at all, and the rest of the file rules of
// a batch run: temporary names, folder making, the rerun check, and removing
// what killed runs left. No Python in here, so all of it runs with the GIL
// released; the package's Python side calls these too, so each rule is here
// only.
#pragma once

#include <sys/stat.h>
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

// make_folders for the folder that the file `path` goes in; 0 or an errno,
// and then `folder` says which folder could not be made.
int make_folder_of(const std::string& path, std::unordered_set<std::string>& made, std::string& folder);

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
// place (with `mode`, an old file's permissions, when given), otherwise
// removed. The folder must exist.
template <class Write, class OnEintr>
std::optional<WriteFailure> write_atomic(const std::string& out, Write write, OnEintr on_eintr,
                                         std::optional<mode_t> mode = std::nullopt) {
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
    if (mode) {
      ::fchmod(fd.get(), *mode);
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

// Where the output named `path` goes: in place (a FIFO, a device, anything
// under /dev or /proc, a name that cannot be resolved), or through a
// temporary file beside `target`, the regular file (or new name) the path
// leads to; through a link, the file it names is replaced and the link stays.
struct OutputPlan {
  bool in_place = true;
  std::string target;
  std::optional<mode_t> mode;  // an existing file's permissions, kept
};

OutputPlan plan_output(const char* path);

// Writes the output named `path` whole or not at all where its plan allows:
// through write_atomic, or in place (also when no temporary file can be made
// beside it). A failure to create names `path` (or the temporary file).
template <class Write, class OnEintr>
std::optional<WriteFailure> write_output(const char* path, Write write, OnEintr on_eintr) {
  const OutputPlan plan = plan_output(path);
  if (!plan.in_place) {
    auto failed = write_atomic(plan.target, write, on_eintr, plan.mode);
    if (!failed || failed->step != WriteFailure::Step::create) {
      return failed;
    }
  }
  Status s = Status::ok;
  int error = 0;
  FileDescriptor fd(open_file(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, on_eintr, s, error));
  if (s != Status::ok) {
    return WriteFailure{s == Status::interrupted ? WriteFailure::Step::interrupted : WriteFailure::Step::create,
                        error, path};
  }
  s = write(fd.get(), error);
  if (s != Status::ok) {
    return WriteFailure{s == Status::interrupted ? WriteFailure::Step::interrupted : WriteFailure::Step::write,
                        error, path};
  }
  return std::nullopt;
}

}  // namespace kifuzan::io
