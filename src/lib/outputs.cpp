#include "lib/outputs.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <atomic>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace kifuzan::io {
namespace {

// 8 lowercase hex digits, different for every temporary name of a process.
std::uint32_t next_tmp_tag() {
  static std::atomic<std::uint64_t> state{static_cast<std::uint64_t>(
      std::chrono::steady_clock::now().time_since_epoch().count()) ^ (static_cast<std::uint64_t>(::getpid()) << 32)};
  std::uint64_t x = state.fetch_add(0x9E3779B97F4A7C15ull, std::memory_order_relaxed);
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return static_cast<std::uint32_t>(x);
}

std::mutex g_in_flight_mutex;
std::unordered_set<std::string>& in_flight() {
  static auto* names = new std::unordered_set<std::string>;  // never destroyed: used by threads at exit
  return *names;
}

bool newer_or_same(const struct stat& a, const struct stat& b) {
  return a.st_mtim.tv_sec != b.st_mtim.tv_sec ? a.st_mtim.tv_sec > b.st_mtim.tv_sec
                                              : a.st_mtim.tv_nsec >= b.st_mtim.tv_nsec;
}

bool pid_alive(pid_t pid) {
  if (::kill(pid, 0) != 0 && errno == ESRCH) {
    return false;
  }
  // A killed worker whose new parent does not reap it stays a zombie.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() || text[close + 2] != 'Z';
}

}  // namespace

InFlight::InFlight(std::string name) : name_(std::move(name)) {
  const std::lock_guard lock(g_in_flight_mutex);
  in_flight().insert(name_);
}

InFlight::~InFlight() {
  const std::lock_guard lock(g_in_flight_mutex);
  in_flight().erase(name_);
}

std::string temporary_beside(std::string_view out) {
  static constexpr char hex[] = "0123456789abcdef";
  const std::size_t slash = out.find_last_of('/');
  const std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
  std::string tmp(out.substr(0, name_at));
  tmp += '.';
  tmp += out.substr(name_at);
  tmp += '.';
  char pid[24];
  tmp.append(pid, std::to_chars(pid, pid + sizeof pid, static_cast<long>(::getpid())).ptr);
  tmp += '.';
  const std::uint32_t tag = next_tmp_tag();
  for (int shift = 28; shift >= 0; shift -= 4) {
    tmp += hex[(tag >> shift) & 0xF];
  }
  tmp += ".tmp";
  return tmp;
}

std::optional<pid_t> temporary_owner(std::string_view name) noexcept {
  // "." NAME "." PID "." 8HEX ".tmp", NAME not empty.
  constexpr std::string_view ext = ".tmp";
  if (name.size() < 1 + 1 + 1 + 1 + 1 + 8 + ext.size() || name[0] != '.' || !name.ends_with(ext)) {
    return std::nullopt;
  }
  name.remove_suffix(ext.size());
  const std::string_view tag = name.substr(name.size() - 8);
  if (tag.find_first_not_of("0123456789abcdef") != std::string_view::npos || name[name.size() - 9] != '.') {
    return std::nullopt;
  }
  name.remove_suffix(9);
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos || dot < 2) {
    return std::nullopt;
  }
  long pid = 0;
  const std::string_view digits = name.substr(dot + 1);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() || pid <= 0) {
    return std::nullopt;
  }
  return static_cast<pid_t>(pid);
}

int make_folders(const std::string& folder, std::unordered_set<std::string>& made) {
  if (folder.empty() || made.count(folder)) {
    return 0;
  }
  struct stat st;
  if (::stat(folder.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) {
      return EEXIST;
    }
    made.insert(folder);
    return 0;
  }
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0) {
    if (const int err = make_folders(folder.substr(0, slash), made)) {
      return err;
    }
  }
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    return errno;
  }
  made.insert(folder);
  return 0;
}

int make_folder_of(const std::string& path, std::unordered_set<std::string>& made, std::string& folder) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) {
    return 0;  // the current folder, or the root
  }
  folder = path.substr(0, slash);
  return make_folders(folder, made);
}

bool up_to_date(const char* src, const char* out) noexcept {
  struct stat out_st, src_st;
  return ::stat(out, &out_st) == 0 && ::stat(src, &src_st) == 0 && newer_or_same(out_st, src_st);
}

std::size_t remove_stale_temporaries(const std::string& dir) {
  namespace fs = std::filesystem;
  std::size_t removed = 0;
  std::error_code ec;
  const pid_t me = ::getpid();
  for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const std::optional<pid_t> owner = temporary_owner(name);
    if (!owner) {
      continue;
    }
    bool stale;
    {
      const std::lock_guard lock(g_in_flight_mutex);
      stale = *owner == me ? in_flight().count(name) == 0 : !pid_alive(*owner);
    }
    if (stale && ::unlink(it->path().c_str()) == 0) {
      ++removed;
    }
  }
  return removed;
}

OutputPlan plan_output(const char* path) {
  OutputPlan plan;
  const std::string_view p(path);
  if (p.starts_with("/dev/") || p.starts_with("/proc/")) {
    return plan;
  }
  struct stat st;
  if (::stat(path, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      return plan;
    }
    // A file the user may not write is not replaced either: opening it in
    // place fails as it always did.
    if (::access(path, W_OK) != 0) {
      return plan;
    }
    plan.mode = st.st_mode & 07777;
  } else if (errno != ENOENT) {
    return plan;
  }
  struct stat lst;
  if (::lstat(path, &lst) == 0 && S_ISLNK(lst.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) == nullptr) {
      return plan;  // a dangling link: open() creates its target
    }
    plan.target = resolved;
  } else {
    plan.target = path;
  }
  plan.in_place = false;
  return plan;
}

}  // namespace kifuzan::io
