// Log streaming: the log thread ships each action's log file to the backend
// every log_interval, and once more at the end; pieces that hold the GPU
// out-of-memory marker mark the action as failed.

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <random>
#include <system_error>
#include <thread>

#include "log_shipping.h"
#include "tavoren/common/json.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/work_unit.h"

namespace tavoren {
namespace detail {
namespace {

class ReadOnlyFile {
 public:
  explicit ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  }
  ~ReadOnlyFile() { ::close(fd_); }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  std::uint64_t size() const {
    struct stat st;
    if (::fstat(fd_, &st) != 0) throw std::system_error(errno, std::generic_category(), "fstat");
    return static_cast<std::uint64_t>(st.st_size);
  }

  // Reads up to `length` bytes at `offset` to `into`; fewer only at the end
  // of the file. Returns the count.
  std::size_t read_at(std::uint64_t offset, std::size_t length, char* into) const {
    std::size_t got = 0;
    while (got < length) {
      ssize_t r = ::pread(fd_, into + got, length - got, static_cast<off_t>(offset + got));
      if (r < 0) {
        if (errno == EINTR) continue;
        throw std::system_error(errno, std::generic_category(), "read");
      }
      if (r == 0) break;
      got += static_cast<std::size_t>(r);
    }
    return got;
  }

 private:
  int fd_;
};

constexpr std::size_t kOverlap = kCudaOutOfMemory.size() - 1;

// A fresh stream identifier: 128 random bits in hexadecimal.
std::string new_log_stream() {
  std::random_device random;
  std::string stream;
  for (int i = 0; i < 4; ++i) {
    char word[9];
    std::snprintf(word, sizeof word, "%08x", static_cast<unsigned>(random()));
    stream += word;
  }
  return stream;
}

// Pieces are read in slices of this size, each checked while in cache.
constexpr std::size_t kSlice = 256u << 10;

// What reading one piece found out about its bytes [0, checked).
struct PieceScan {
  std::size_t checked = 0;
  bool well_formed = true;
};

// Reads up to `want` bytes at `offset` into `bytes`, checking well-formedness
// slice by slice, while each slice is in cache. A slice is checked up to its
// last whole character; the rest is checked with the next one.
PieceScan read_piece(const ReadOnlyFile& file, std::uint64_t offset, std::size_t want,
                     std::string& bytes) {
  bytes.resize(want);  // keeps the capacity of earlier pieces
  PieceScan scan;
  std::size_t got = 0;
  while (got < want) {
    const std::size_t n =
        file.read_at(offset + got, std::min(kSlice, want - got), bytes.data() + got);
    got += n;
    const std::string_view read(bytes.data(), got);
    const std::size_t upto = got - incomplete_utf8_suffix(read.substr(scan.checked));
    if (upto > scan.checked) {
      const std::string_view slice = read.substr(scan.checked, upto - scan.checked);
      scan.well_formed = scan.well_formed && is_valid_utf8(slice);
      scan.checked = upto;
    }
    if (n == 0 || n < std::min(kSlice, want - (got - n))) break;  // end of file
  }
  bytes.resize(got);
  return scan;
}

}  // namespace

LogShipper::LogShipper(LogSender sender, std::size_t max_piece, RefusalLimits limits)
    : sender_(std::move(sender)),
      max_piece_(std::max<std::size_t>(max_piece, 4)),
      limits_{.max_refusals = std::max(limits.max_refusals, 1),
              .min_piece = std::clamp<std::size_t>(limits.min_piece, 4, max_piece_)} {}

void LogShipper::restart(std::string path) { resume(std::move(path), 0, 0); }

void LogShipper::resume(std::string path, std::uint64_t offset, std::uint64_t scanned,
                        std::string stream, std::uint64_t sending) {
  Progress progress;
  progress.offset = offset;
  progress.scanned = std::max(offset, scanned);
  progress.stream = stream.empty() ? new_log_stream() : std::move(stream);
  if (sending > offset) {
    progress.refused_length = static_cast<std::size_t>(
        std::min<std::uint64_t>(sending - offset, std::numeric_limits<std::size_t>::max()));
  }
  if (progress.scanned > 0) {
    try {
      ReadOnlyFile file(path);
      const std::uint64_t from = progress.scanned > kOverlap ? progress.scanned - kOverlap : 0;
      std::string recent(static_cast<std::size_t>(progress.scanned - from), '\0');
      recent.resize(file.read_at(from, recent.size(), recent.data()));
      progress.recent = std::move(recent);
    } catch (const std::system_error&) {
      // No file to read them from: a marker split there goes unseen.
    }
  }
  std::unique_lock lock(mutex_);
  free_.wait(lock, [&] { return !shipping_; });
  path_ = std::move(path);
  progress_ = std::move(progress);
}

void LogShipper::abandon() { abandoned_ = true; }

std::uint64_t LogShipper::offset() const {
  std::lock_guard lock(mutex_);
  return progress_.offset;
}

std::uint64_t LogShipper::dropped() const {
  std::lock_guard lock(mutex_);
  return progress_.dropped;
}

std::string LogShipper::stream() const {
  std::lock_guard lock(mutex_);
  return progress_.stream;
}

LogShipment LogShipper::ship(bool final, std::optional<std::chrono::milliseconds> wait_limit) {
  std::string path;
  Progress progress;
  {
    std::unique_lock lock(mutex_);
    auto free = [&] { return !shipping_; };
    if (!wait_limit) {
      free_.wait(lock, free);
    } else if (!free_.wait_for(lock, *wait_limit, free)) {
      throw std::runtime_error("the log thread is still sending the log");
    }
    if (!path_ || abandoned_.load()) return {};
    shipping_ = true;
    path = *path_;
    progress = progress_;
  }
  auto publish = [&] {
    {
      std::lock_guard lock(mutex_);
      progress_ = std::move(progress);
      shipping_ = false;
    }
    free_.notify_all();
  };
  LogShipment shipment;
  try {
    shipment = ship_tail(path, progress, final);
  } catch (...) {
    publish();
    throw;
  }
  publish();
  return shipment;
}

void LogShipper::watch_for_marker(Progress& progress, std::uint64_t offset,
                                  std::string_view piece) const {
  const std::uint64_t piece_end = offset + piece.size();
  if (piece_end <= progress.scanned) return;  // read before
  // The marker is ASCII, and replacing ill-formed bytes never swallows an
  // ASCII byte, so the raw bytes hold it exactly where the text does.
  const std::string_view fresh = piece.substr(
      static_cast<std::size_t>(progress.scanned > offset ? progress.scanned - offset : 0));
  // A marker that began in the bytes scanned before ends within the first
  // kOverlap new bytes.
  std::string boundary = progress.recent;
  boundary.append(fresh.substr(0, std::min(fresh.size(), kOverlap)));
  if (boundary.find(kCudaOutOfMemory) != std::string::npos) {
    sender_.report_marker(boundary);
  } else if (fresh.find(kCudaOutOfMemory) != std::string_view::npos) {
    sender_.report_marker(std::string(fresh));
  }
  if (fresh.size() >= kOverlap) {
    progress.recent.assign(fresh.substr(fresh.size() - kOverlap));
  } else {
    progress.recent.append(fresh);
    if (progress.recent.size() > kOverlap) {
      progress.recent.erase(0, progress.recent.size() - kOverlap);
    }
  }
  progress.scanned = piece_end;
}

LogShipment LogShipper::ship_tail(const std::string& path, Progress& progress, bool final) const {
  LogShipment shipment;
  ReadOnlyFile file(path);
  std::uint64_t end = file.size();
  if (end <= progress.offset) {
    shipment.reached_end = true;
    return shipment;
  }
  shipment.read = end - progress.offset;

  std::string bytes;  // reused by every piece of this shipment
  std::string replaced;
  while (progress.offset < end && !abandoned_.load()) {
    const std::uint64_t offset = progress.offset;
    std::size_t bound = progress.narrowed ? progress.narrowed : max_piece_;
    // A refused piece is sent again as it was, however much the file grew:
    // a piece that got no answer may have been stored, and only the same
    // piece is the same write.
    if (progress.refused_length > 0) bound = std::min(bound, progress.refused_length);
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(bound, end - offset));
    PieceScan scan = read_piece(file, offset, want, bytes);
    if (bytes.size() < want) end = offset + bytes.size();  // the file shrank meanwhile
    if (bytes.empty()) break;
    const bool last = offset + bytes.size() >= end;
    std::size_t length = bytes.size();
    if (!(last && final)) length -= incomplete_utf8_suffix(bytes);
    if (length == 0) break;  // only an incomplete character is left: wait for the rest
    bytes.resize(length);
    const std::string_view piece(bytes);
    if (length > scan.checked) {  // a final piece's incomplete end
      scan.well_formed = scan.well_formed && is_valid_utf8(piece.substr(scan.checked));
    } else if (length < scan.checked) {
      scan.well_formed = false;  // not cut where the scan expected: check it all again
    }

    std::string* text = &bytes;
    if (!scan.well_formed) {
      replaced = replace_invalid_utf8(bytes);
      text = &replaced;
    }
    const LogSpan span{progress.stream, offset, offset + length};
    if (sender_.report_sending) sender_.report_sending(span);
    const SendOutcome outcome = sender_.send(*text, span);
    watch_for_marker(progress, offset, bytes);
    if (outcome == SendOutcome::kAccepted) {
      progress.move_past(length);
      shipment.sent += length;
      if (sender_.report_progress) sender_.report_progress(progress.offset, progress.scanned);
      continue;
    }
    progress.refused_length = length;
    if (outcome == SendOutcome::kUnanswered) break;
    ++progress.refusals;
    if (progress.refusals < limits_.max_refusals) break;
    if (length > limits_.min_piece) {
      progress.narrowed = std::max(limits_.min_piece, length / 2);
      break;
    }
    // Refused again and again, and as small as pieces get: give it up.
    if (sender_.report_drop) sender_.report_drop(offset, offset + length - 1, progress.refusals);
    progress.move_past(length);
    progress.dropped += length;
    shipment.dropped += length;
    if (sender_.report_progress) sender_.report_progress(progress.offset, progress.scanned);
  }
  shipment.reached_end = progress.offset >= end;
  return shipment;
}

}  // namespace detail

// Sends one piece. The text's storage is lent to the request (no copy of a
// large piece) and handed back afterwards, whatever happens.
bool WorkUnit::send_log_piece(std::string& text, const detail::LogSpan* span) {
  return log_errors("_send_logs_to_scaling", {.default_return = false, .log_error = false}, [&] {
    // The action's log belongs to the machine it was handed to now.
    if (taken_away_.load()) return false;
    Json arguments = Json::object();
    arguments["action_record_id"] = action_record_id_;
    arguments["log_content"] = std::move(text);
    if (span != nullptr) {
      arguments["log_stream"] = std::string(span->stream);
      arguments["log_start_offset"] = span->start;
      arguments["log_end_offset"] = span->end;
    }
    auto hand_back = [&] { text = std::move(arguments.at("log_content").get_ref<std::string&>()); };
    backend::Result result;
    try {
      result = scaling_.update_action_docker_logs(arguments);
    } catch (const backend::CallFailure& e) {
      last_send_unanswered_ = e.may_pass();
      hand_back();
      throw;
    } catch (...) {
      last_send_unanswered_ = false;
      hand_back();
      throw;
    }
    last_send_unanswered_ = false;
    hand_back();
    if (backend::is_not_current(result)) {
      if (!taken_away_.exchange(true)) {
        log::warning("Action %s was taken from this machine (%s): stopping it", label(),
                     result.message);
      }
      request_thread_stop();
      return false;
    }
    if (result.has_error()) {
      log::error("Error from update_action_docker_logs: %s", *result.error);
      return false;
    }
    return true;
  });
}

void WorkUnit::request_thread_stop() {
  {
    MutexLock lock(wake_mutex_);
    stop_thread_ = true;
  }
  wake_.notify_all();
  if (const int fd = stop_fd_.load(); fd >= 0) {
    // Stays readable: a stop is for good. The counter cannot overflow with
    // the few stops a unit sees.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
  }
}

void WorkUnit::run_log_thread(int child_fd) {
  send_logs_continuously(child_fd);
  {
    MutexLock lock(wake_mutex_);
    log_thread_done_ = true;
  }
  wake_.notify_all();
}

bool WorkUnit::wait_for_next_round(int child_fd) {
  const auto interval = options_.timings.log_interval;
  const int stop_fd = stop_fd_.load();
  if (stop_fd < 0) {
    // Not started through start(): no child to watch, a stop wakes it.
    const auto until = std::chrono::steady_clock::now() + interval;
    MutexLock lock(wake_mutex_);
    // The wait releases wake_mutex_ and takes it again (see common/mutex.h).
    while (!stop_thread_.load()) {
      if (wake_.wait_until(wake_mutex_, until) == std::cv_status::timeout) break;
    }
    return false;
  }
  struct pollfd fds[2] = {{stop_fd, POLLIN, 0}, {child_fd, POLLIN, 0}};
  const int count = child_fd >= 0 ? 2 : 1;
  const auto deadline = std::chrono::steady_clock::now() + interval;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int timeout = static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
    const int ready = ::poll(fds, count, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || stop_thread_.load()) return false;
    return count == 2 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
}

bool WorkUnit::record_end_on_log_thread() {
  if (!child_end_.take()) return false;  // stop(), is_running or the destructor has it
  std::optional<process::ExitStatus> status;
  {
    MutexLock lock(state_mutex_);
    if (process_) status = process_->poll();
  }
  if (!status) {
    child_end_.settle(false);
    return false;
  }
  child_end_.mark_gone();
  const std::string id = label();
  if (child_end_.claim_log_line()) {
    log::info("Process for action %s has terminated with exit code: %s", id, status->returncode());
  }
  request_thread_stop();
  deliver_end(*status);
  // The engine's client has ended, and its container normally with it; one
  // whose client was killed would run on unseen, so the engine is asked
  // whether it still runs, and to stop it then, as stop() would.
  try {
    stop_container(id, /*only_if_running=*/true);
  } catch (const std::exception& e) {
    log::error("Error stopping process for action %s: %s", id, e.what());
  }
  clear_process();
  child_end_.settle(true);
  return true;
}

void WorkUnit::deliver_end(process::ExitStatus status) {
  const std::string id = label();
  const auto deadline = std::chrono::steady_clock::now() + options_.timings.end_delivery_limit;
  bool log_complete = flush_final_logs();
  // A piece that got no answer may have been stored all the same: the
  // shipper sends the very same piece again, and the client makes it the
  // same write, so that it is stored once.
  while (!log_complete && last_send_unanswered_.load() && shipper_->dropped() == 0) {
    log::warning("The rest of the log of action %s did not reach the backend; trying again", id);
    if (!wait_to_retry_end(deadline)) break;
    log_complete = flush_final_logs();
  }
  while (!report_exit(status, log_complete)) {
    log::warning("The end of action %s did not reach the backend; trying again", id);
    if (!wait_to_retry_end(deadline)) break;
  }
}

bool WorkUnit::wait_to_retry_end(std::chrono::steady_clock::time_point deadline) {
  const auto now = std::chrono::steady_clock::now();
  if (now >= deadline) return false;
  return child_end_.wait_to_retry(std::min(deadline, now + options_.timings.end_retry_interval));
}

void WorkUnit::send_logs_continuously(int child_fd) {
  log_errors("send_logs_continuously", {.log_error = false}, [&] {
    const std::string id = label();
    const std::optional<std::string> path = log_path();
    auto log_exists = [&] {
      std::error_code ec;
      return path && std::filesystem::exists(*path, ec);
    };
    while (!stop_thread_.load() && log_exists()) {
      try {
        catch_up_log(false);
        shipper_->ship(false);
      } catch (const std::exception& e) {
        log::error("Error reading logs for action %s: %s", id, e.what());
      }
      if (wait_for_next_round(child_fd) && !record_end_on_log_thread()) {
        child_fd = -1;  // another thread handles the end: stop watching
        child_end_.set_watched(false);
      }
    }
    child_end_.set_watched(false);
    log::info("Log monitoring thread stopping for action %s, performing final check", id);
    if (log_exists()) {
      try {
        // An incomplete last character is sent only when no one can finish it.
        const bool final = child_end_.gone();
        catch_up_log(final);
        const detail::LogShipment shipment = shipper_->ship(final);
        if (shipment.sent > 0) {
          log::info("Sent final %d bytes of logs for action %s", shipment.sent, id);
        }
      } catch (const std::exception& e) {
        log::error("Error in final log read for action %s: %s", id, e.what());
      }
    }
  });
}

void WorkUnit::_check_cuda(const std::string& log_content) {
  log_errors("_check_cuda", {.log_error = false}, [&] {
    if (log_content.find(kCudaOutOfMemory) == std::string::npos) return;
    const std::optional<Json> details = get_action_details();
    if (!details || !is_truthy(*details)) return;
    Json arguments = Json::object();
    arguments["id"] = action_record_id_;
    arguments["step_code"] = "ERROR";
    arguments["action_type"] = details->at("action");
    arguments["status"] = "ERROR";
    arguments["status_description"] = std::string(kCudaOutOfMemory);
    arguments["service"] = "bg-job-scheduler";
    arguments["job_params"] = details->at("jobParams");
    scaling_.update_action(arguments);
  });
}

bool WorkUnit::flush_final_logs() {
  const std::optional<std::string> path = log_path();
  std::error_code ec;
  if (!path || path->empty() || !std::filesystem::exists(*path, ec)) return false;
  const std::string id = label();
  try {
    request_thread_stop();
    std::this_thread::sleep_for(options_.timings.flush_delay);
    log::info("Performing final log flush for action %s", id);
    // While the child may still write, an incomplete last character waits.
    const bool final = child_end_.gone() || !has_process();
    catch_up_log(final);
    const detail::LogShipment shipment = shipper_->ship(final, options_.timings.join_limit);
    if (shipment.read == 0) {
      log::debug("No additional logs to send for action %s", id);
    } else if (shipment.sent > 0) {
      log::info("Sent %d bytes of final logs for action %s", shipment.sent, id);
    }
    return final && shipment.reached_end && shipper_->dropped() == 0;
  } catch (const std::exception& e) {
    log::error("Error during final log flush for action %s: %s", id, e.what());
    return false;
  }
}

}  // namespace tavoren
