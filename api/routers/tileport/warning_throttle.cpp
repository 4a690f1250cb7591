#include "warning_throttle.hpp"

#include <chrono>
#include <map>
#include <string>

#include "pyglue.hpp"

namespace tileport {
namespace {

using Clock = std::chrono::steady_clock;

// Down or stalled, Redis fails the rate limit, the cache read and the cache
// write of every request alike: at a few hundred requests a second, one line
// each would be a log line per millisecond, for as long as the outage lasts.
constexpr auto kWindow = std::chrono::seconds(1);
// Error texts carry addresses and user names; the table forgets the stale.
constexpr std::size_t kMaxEntries = 256;

struct Repeats {
  Clock::time_point written;
  long long left_out = 0;
};

// Plain data, so nothing here outlives the interpreter.
std::map<std::string, Repeats>& table() {
  static std::map<std::string, Repeats> entries;
  return entries;
}

void forget_stale(std::map<std::string, Repeats>& entries, Clock::time_point now) {
  std::erase_if(entries, [&](const auto& entry) { return now - entry.second.written >= kWindow; });
  if (entries.size() >= kMaxEntries) entries.clear();
}

}  // namespace

void log_repeated_warning(const char* kind, py::handle error, py::handle message) {
  const Clock::time_point now = Clock::now();
  auto& entries = table();
  std::string key = std::string(kind) + '\n' + py::str(error).cast<std::string>();
  auto found = entries.find(key);
  if (found != entries.end() && now - found->second.written < kWindow) {
    ++found->second.left_out;
    return;
  }
  const long long left_out = found == entries.end() ? 0 : found->second.left_out;
  if (found == entries.end() && entries.size() >= kMaxEntries) forget_stale(entries, now);
  entries[std::move(key)] = Repeats{now, 0};
  log_warning(message);
  if (left_out > 0) {
    log_warning(concat({py::str(kind), py::str(": "), py::int_(left_out),
                        py::str(" more with the same error not logged")}));
  }
}

}  // namespace tileport
