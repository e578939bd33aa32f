// Taking over an action that a previous agent left running, and letting go
// of one for the next agent.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "engine_log_resume.h"
#include "log_shipping.h"
#include "tavoren/action_store.h"
#include "tavoren/common/files.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"
#include "tavoren/host_probe.h"
#include "tavoren/work_unit.h"

namespace tavoren {
namespace {

std::uint64_t size_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot read " + path);
  }
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

void WorkUnit::end_previous_client(pid_t pid, std::uint64_t start) {
  if (pid <= 0 || start == 0) return;
  const std::optional<std::uint64_t> before = action_store::process_start_time(pid);
  if (!before || *before != start) return;  // gone (its number may serve another process)
  // The pidfd holds on to this very process; its start time, read again
  // once it is held, shows it is still the client.
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return;  // it ended meanwhile
  const std::optional<std::uint64_t> held = action_store::process_start_time(pid);
  if (held && *held == start) {
    log::info("The docker client %d of action %s outlived the previous agent; it is ended",
              static_cast<int>(pid), label());
    if (::syscall(SYS_pidfd_send_signal, fd, SIGKILL, nullptr, 0) == 0) {
      struct pollfd ready = {fd, POLLIN, 0};
      const int limit = static_cast<int>(options_.timings.kill_wait.count());
      int result;
      do {
        result = ::poll(&ready, 1, limit);
      } while (result < 0 && errno == EINTR);
      if (result == 0) {
        log::warning("The docker client %d of action %s was still running %d ms after SIGKILL",
                     static_cast<int>(pid), label(), limit);
      }
    }
  }
  ::close(fd);
}

void WorkUnit::adopt(const AdoptedRun& run) {
  log_errors("adopt", {.raise_exception = true}, [&] {
    MutexLock lifecycle(lifecycle_mutex_);
    if (has_process() || log_thread_.joinable() || adopted_.load()) {
      throw std::runtime_error("action " + label() + " was already started");
    }
    if (stop_thread_.load()) {
      throw std::runtime_error("action " + label() + " was stopped; it is not taken over");
    }
    const std::string id = label();
    // Nobody else may write the log file from here on.
    end_previous_client(run.client_pid, run.client_start);

    std::string path = run.log_path;
    if (path.empty()) path = get_log_path() + "/adopted_" + action_record_id_ + ".txt";
    {
      std::error_code ec;
      if (!std::filesystem::exists(path, ec)) {
        get_log_path();
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
        ::close(fd);
      }
    }
    const std::uint64_t size = size_of(path);
    std::uint64_t shipped = run.shipped;
    if (shipped > size) {
      log::warning(
          "The log file of action %s holds %d bytes, fewer than the %d kept as shipped; "
          "shipping goes on from its end",
          id, size, shipped);
      shipped = size;
    }
    {
      MutexLock lock(state_mutex_);
      log_path_ = path;
      if (!run.cid_path.empty()) cid_path_ = run.cid_path;
    }
    // The piece in flight is sent again first only when the file holds it.
    const std::uint64_t sending = run.sending <= size ? run.sending : 0;
    shipper_->resume(path, shipped, run.scanned, run.log_stream, sending);
    adopted_container_ = run.container_id;
    adopted_ = true;
    log::info("Taking over action %s: container %s, log %s from byte %d of %d", id,
              run.container_id.empty() ? std::string("(none)") : run.container_id, path, shipped,
              size);

    if (run.container_id.empty()) {
      // Nothing runs: the rest of the file is shipped and the end recorded.
      child_end_.mark_gone();
      if (!child_end_.take()) return;
      request_thread_stop();
      const bool log_complete = flush_final_logs();
      report_exit(process::ExitStatus::unknown(), log_complete);
      child_end_.settle(true);
      return;
    }
    engine_log_ = std::make_unique<detail::EngineLogResume>(run.container_id, path, size);
    make_stop_fd();
    // The unit's process watches the container: it ends when the container
    // ends (at once when it has ended already).
    process::SpawnRequest request;
    request.argv = {"docker", "wait", run.container_id};
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::null;
    // What it says goes to the agent's log (report_watcher_output).
    request.stderr_stream = process::Stream::pipe;
    request.new_session = true;
    process::Child child = process::Child::spawn(request);
    child_end_.launched();
    {
      MutexLock lock(state_mutex_);
      cmd_ = "docker wait " + run.container_id;
      process_.emplace(std::move(child));
    }
    start_log_thread();
  });
}

void WorkUnit::report_watcher_output() {
  std::string said;
  {
    MutexLock lock(state_mutex_);
    const int fd = process_ ? process_->stderr_fd() : -1;
    // Only what is there now: a watcher that runs on is not waited for.
    struct pollfd ready = {fd, POLLIN, 0};
    char buffer[4096];
    while (fd >= 0 && ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got <= 0) break;
      said.append(buffer, static_cast<std::size_t>(got));
    }
  }
  host_probe::log_tool_output("docker wait", "", said);
}

void WorkUnit::catch_up_log(bool final) {
  if (!engine_log_) return;
  report_watcher_output();
  const std::string id = label();
  try {
    const std::uint64_t appended = engine_log_->catch_up();
    if (appended > 0) {
      log::debug("Appended %d bytes of the engine's log to the log of action %s", appended, id);
    }
  } catch (const std::exception& e) {
    log::warning("Could not read the engine's log of action %s: %s", id, e.what());
  }
  if (final) {
    if (const std::uint64_t missing = engine_log_->missing(); missing > 0) {
      log::warning(
          "The engine's log of container %s ends %d bytes short of the log file of action %s "
          "(rotated away?); nothing more is appended",
          adopted_container_, missing, id);
    }
  }
}

process::ExitStatus WorkUnit::adopted_exit_status() {
  try {
    engine::Client client;
    const Json record = client.inspect_container(adopted_container_);
    const Json& state = record.at("State");
    if (state.value("Running", false)) return process::ExitStatus::unknown();
    const int code = state.at("ExitCode").get<int>();
    if (code < 0 || code > 255) return process::ExitStatus::unknown();
    return process::ExitStatus::exited(code);
  } catch (const std::exception& e) {
    log::warning("The exit status of container %s of action %s is unknown: %s", adopted_container_,
                 label(), e.what());
    return process::ExitStatus::unknown();
  }
}

void WorkUnit::detach() {
  log_errors("detach", {.log_error = false}, [&] {
    MutexLock lifecycle(lifecycle_mutex_);
    const std::string id = label();
    request_thread_stop();
    if (!child_end_.take()) {
      // Its end is recorded (or being recorded) already.
      join_log_thread(id);
      return;
    }
    child_end_.mark_detached();
    log::info("Leaving action %s running for the next agent", id);
    {
      MutexLock lock(state_mutex_);
      if (process_ && !process_->exit_status()) {
        // The engine's client forwards no SIGKILL: its container goes on.
        process_->signal_group(SIGKILL);
        process_->wait_for(options_.timings.kill_wait);
      }
    }
    try {
      catch_up_log(false);
      shipper_->ship(false, options_.timings.join_limit);
    } catch (const std::exception& e) {
      log::error("Error shipping the log of action %s: %s", id, e.what());
    }
    child_end_.settle(true);
    join_log_thread(id);
  });
}

}  // namespace tavoren
