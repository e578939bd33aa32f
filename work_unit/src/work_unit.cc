// The work unit's lifecycle: construction from an action record, launch of
// the child process, liveness checks and termination.

#include "tavoren/work_unit.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "engine_log_resume.h"
#include "log_shipping.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/files.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/shell.h"
#include "tavoren/common/text.h"
#include "tavoren/engine.h"

namespace tavoren {

WorkUnit::WorkUnit(backend::Scaling& scaling, const Json& action_info, WorkUnitOptions options)
    : scaling_(scaling),
      options_(std::move(options)),
      shipper_(std::make_unique<detail::LogShipper>(
          detail::LogSender{
              .send =
                  [this](std::string& text, const detail::LogSpan& span) {
                    if (send_log_piece(text, &span)) return detail::SendOutcome::kAccepted;
                    return last_send_unanswered_.load() ? detail::SendOutcome::kUnanswered
                                                        : detail::SendOutcome::kRefused;
                  },
              .report_marker =
                  [this](const std::string& text) {
                    out_of_memory_seen_ = true;
                    _check_cuda(text);
                  },
              .report_drop =
                  [this](std::uint64_t first, std::uint64_t last, int refusals) {
                    log::error("Dropped bytes %d-%d of the log of action %s after %d refusals",
                               first, last, label(), refusals);
                  },
              .report_progress =
                  [this](std::uint64_t shipped, std::uint64_t scanned) {
                    if (!options_.on_progress) return;
                    try {
                      options_.on_progress(action_record_id_, shipped, scanned);
                    } catch (const std::exception& e) {
                      log::error("Error keeping the log position of action %s: %s", label(),
                                 e.what());
                    }
                  },
              .report_sending =
                  [this](const detail::LogSpan& span) {
                    if (!options_.on_sending) return;
                    try {
                      options_.on_sending(action_record_id_, std::string(span.stream), span.start,
                                          span.end);
                    } catch (const std::exception& e) {
                      log::error("Error keeping the log piece in flight of action %s: %s", label(),
                                 e.what());
                    }
                  },
          },
          options_.max_log_piece,
          detail::RefusalLimits{.max_refusals = options_.max_log_refusals,
                                .min_piece = options_.min_log_piece})) {
  if (!action_info.is_object()) {
    throw TypeError(std::string("action_info must be a dictionary, not ") + kind_name(action_info));
  }
  action_info_ = action_info;
  action_record_id_ = text_of(required_field(action_info_, "action_info", "_id"), "null");
  // The identifier names the action's files and container: no other form
  // may reach a path.
  if (!backend::is_action_id(action_record_id_)) {
    throw ValueError("The action identifier " + Json(action_record_id_).dump() +
                     " is not 24 lowercase hexadecimal characters");
  }
  action_type_ = text_of(required_field(action_info_, "action_info", "action"), "null");
  const Json& details = required_field(action_info_, "action_info", "actionDetails");

  // The backend's default image is asked for every time, used or not.
  Json default_image = scaling_.get_data_processing_image();
  if (details.is_object() && details.contains("docker")) {
    docker_container_ = details["docker"];
  } else if (details.is_object() && details.contains("docker_container")) {
    docker_container_ = details["docker_container"];
  } else {
    docker_container_ = std::move(default_image);
  }

  const ActionsMap actions = options_.actions_map ? *options_.actions_map : default_actions_map();
  options_.actions_map.reset();
  for (const auto& [type, executor] : actions) {
    if (type == action_type_) {
      task_ = executor;
      break;
    }
  }
  if (!task_) throw ValueError("Unknown action type: " + action_type_);
}

WorkUnit::~WorkUnit() {
  const std::string id = label();
  // A child still running goes first, so the log thread's final check ships
  // its whole log. When the log thread is recording the child's end
  // already, it is left to it.
  if (child_end_.take()) end_child_on_destruction(id);
  request_thread_stop();
  MutexLock lifecycle(lifecycle_mutex_);
  if (!log_thread_.joinable()) {
    if (stop_fd_.load() >= 0) ::close(stop_fd_.load());
    return;
  }
  // An end still being delivered gets no further attempt.
  child_end_.give_up_delivery();
  if (!wait_log_thread_done(options_.timings.join_limit)) {
    // The thread uses this object, so it cannot be left behind: it is told
    // to ship nothing more, and ends once the backend call it is in
    // returns, which the client bounds with its own time limits. It is told
    // before the word is logged, so that nothing is shipped once it is.
    shipper_->abandon();
    log::warning("Log thread didn't complete within timeout for action %s", id);
    log::warning(
        "The rest of the log of action %s is given up; waiting for the backend call in "
        "progress",
        id);
  }
  log_thread_.join();
  if (stop_fd_.load() >= 0) ::close(stop_fd_.load());
}

void WorkUnit::end_child_on_destruction(const std::string& id) {
  // The end is taken: this thread alone may wait on the child.
  if (!has_process() || child_exit_status()) return;
  process::Child& child = child_of_end_taker();
  if (child_end_.detached()) {
    // Let go for the next agent: the client dies, its container goes on.
    child.signal_group(SIGKILL);
    child.wait_for(options_.timings.kill_wait);
    return;
  }
  // Its container is stopped through the engine, as stop() does: killing
  // the engine's client alone would leave it running.
  auto ask_engine = [&] {
    try {
      return stop_container(id);
    } catch (const std::exception& e) {
      log::error("Error stopping process for action %s: %s", id, e.what());
      return true;
    }
  };
  const bool asked = ask_engine();
  child.signal_group(SIGKILL);
  if (!child.wait_for(options_.timings.kill_wait)) {
    log::error("Error force-killing process for action %s: %s", id,
               "the process was still running " +
                   std::to_string(options_.timings.kill_wait.count()) + " ms after SIGKILL");
  }
  child_end_.mark_gone();
  // A client killed before it wrote the container's id may have created
  // the container meanwhile.
  if (!asked) ask_engine();
}

std::string WorkUnit::label() const {
  return action_record_id_.empty() ? "unknown" : action_record_id_;
}

bool WorkUnit::has_process() const {
  MutexLock lock(state_mutex_);
  return process_.has_value();
}

std::optional<std::string> WorkUnit::tavoren_access_key_id() const {
  MutexLock lock(state_mutex_);
  return tavoren_access_key_id_;
}

std::optional<std::string> WorkUnit::tavoren_secret_access_key() const {
  MutexLock lock(state_mutex_);
  return tavoren_secret_access_key_;
}

void WorkUnit::set_tavoren_keys(std::string access_key_id, std::string secret_access_key) {
  MutexLock lock(state_mutex_);
  tavoren_access_key_id_ = std::move(access_key_id);
  tavoren_secret_access_key_ = std::move(secret_access_key);
}

void WorkUnit::keep_secret_masked(std::string_view secret) {
  MutexLock lock(state_mutex_);
  for (const log::SecretRegistration& held : held_secrets_) {
    if (held.holds(secret)) return;
  }
  log::SecretRegistration registration(secret);
  if (registration.holds()) held_secrets_.push_back(std::move(registration));
}

void WorkUnit::set_container_environment(std::vector<std::string> entries) {
  MutexLock lock(state_mutex_);
  container_environment_ = std::move(entries);
}

std::vector<std::string> WorkUnit::container_environment() const {
  MutexLock lock(state_mutex_);
  return container_environment_;
}

std::optional<std::string> WorkUnit::cmd() const {
  MutexLock lock(state_mutex_);
  return cmd_;
}

std::optional<std::string> WorkUnit::log_path() const {
  MutexLock lock(state_mutex_);
  return log_path_;
}

void WorkUnit::clear_process() {
  MutexLock lock(state_mutex_);
  process_.reset();
}

std::optional<process::ExitStatus> WorkUnit::child_exit_status() const {
  MutexLock lock(state_mutex_);
  if (!process_) return std::nullopt;
  return process_->exit_status();
}

bool WorkUnit::report_exit(process::ExitStatus status, bool log_complete) {
  if (!options_.on_exit || child_end_.reported()) return true;
  // An adopted unit's process only watched the container: the container's
  // own status is the action's.
  if (adopted_.load() && !adopted_container_.empty()) status = adopted_exit_status();
  try {
    options_.on_exit(action_record_id_, status, log_complete, end_cause_of(status));
  } catch (const backend::CallFailure& e) {
    log::error("Error reporting the end of action %s: %s", label(), e.what());
    if (e.may_pass()) return false;
  } catch (const std::exception& e) {
    log::error("Error reporting the end of action %s: %s", label(), e.what());
  }
  child_end_.mark_reported();
  return true;
}

std::vector<int> WorkUnit::gpus() const {
  MutexLock lock(state_mutex_);
  return gpus_;
}

void WorkUnit::set_end_cause(std::string_view cause) {
  MutexLock lock(state_mutex_);
  end_cause_ = std::string(cause);
}

std::string_view WorkUnit::end_cause_of(process::ExitStatus status) const {
  {
    MutexLock lock(state_mutex_);
    // The texts of end_cause_ are the causes' own constants.
    for (std::string_view cause : backend::end_cause::all()) {
      if (cause == end_cause_) return cause;
    }
  }
  if (out_of_memory_seen_.load()) return backend::end_cause::kCudaOom;
  // The engine's client exits 125 for its own failures (an image it could
  // not pull, a container it could not create or start); an adopted
  // unit's status is the container's own.
  bool launched_docker_run;
  {
    MutexLock lock(state_mutex_);
    launched_docker_run = cid_path_.has_value();
  }
  if (launched_docker_run && !adopted_.load() && status.code() == 125) {
    return backend::end_cause::kStartFailed;
  }
  return backend::end_cause::kExited;
}

void tell_never_started(const WorkUnitOptions& options, const std::string& id) {
  if (!options.on_exit) return;
  log::warning("Action %s never reached its command; its end is recorded as %s", id,
               backend::end_cause::kStartFailed);
  options.on_exit(id, process::ExitStatus::unknown(), true, backend::end_cause::kStartFailed);
}

void WorkUnit::report_never_started() {
  MutexLock lifecycle(lifecycle_mutex_);
  if (child_end_.ever_launched() || taken_away() || adopted_.load()) return;
  if (!options_.on_exit || child_end_.reported()) return;
  try {
    tell_never_started(options_, label());
  } catch (const std::exception& e) {
    log::error("Error reporting the end of action %s: %s", label(), e.what());
  }
  child_end_.mark_reported();
}

void WorkUnit::execute() {
  log_errors("execute", {}, [&] { task_(*this); });
}

void WorkUnit::make_stop_fd() {
  if (stop_fd_.load() >= 0) return;
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  stop_fd_ = fd;
}

void WorkUnit::start_log_thread() {
  if (stop_thread_.load() || log_thread_.joinable()) return;  // stopped meanwhile
  int child_fd;
  {
    MutexLock state(state_mutex_);
    child_fd = process_ ? process_->pidfd() : -1;
  }
  child_end_.set_watched(child_fd >= 0);
  log_thread_ = std::thread([this, child_fd] { run_log_thread(child_fd); });
}

void WorkUnit::start(const std::string& cmd, const std::string& log_name) {
  log_errors("start", {}, [&] {
    // Made before the child, so a unit that cannot watch its child never
    // starts one.
    make_stop_fd();
    start_process(cmd, log_name);
    MutexLock lifecycle(lifecycle_mutex_);
    start_log_thread();
  });
}

void WorkUnit::start_process(const std::string& cmd, const std::string& log_name) {
  log_errors("start_process", {.raise_exception = true}, [&] {
    MutexLock lifecycle(lifecycle_mutex_);
    if (has_process() || log_thread_.joinable()) {
      throw std::runtime_error("action " + label() + " was already started");
    }
    if (stop_thread_.load()) {
      throw std::runtime_error("action " + label() + " was stopped; it does not start again");
    }
    {
      MutexLock lock(state_mutex_);
      cmd_ = cmd;
    }
    const std::string path = get_log_path() + "/" + log_name + "_" + action_record_id_ + ".txt";
    {
      MutexLock lock(state_mutex_);
      log_path_ = path;
    }
    shipper_->restart(path);
    // Created (or emptied) here, so an unusable log file is reported as such.
    // Only the agent's user may read it: a job's log may show its secrets.
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
    const int chmod_error = ::fchmod(fd, 0600) == 0 ? 0 : errno;  // one left by an older agent
    ::close(fd);
    if (chmod_error != 0) {
      throw std::system_error(chmod_error, std::generic_category(), "cannot protect " + path);
    }

    LaunchCommand launch = finish_container_command(
        cmd, get_log_path() + "/" + log_name + "_" + action_record_id_ + ".cid", action_record_id_,
        options_.container_labels);
    if (launch.cid_path) {
      std::error_code ignored;
      std::filesystem::remove(*launch.cid_path, ignored);  // the client refuses an existing file
    }
    {
      MutexLock lock(state_mutex_);
      cid_path_ = launch.cid_path;
    }
    process::SpawnRequest request;
    request.argv = std::move(launch.argv);
    if (std::vector<std::string> secrets = container_environment(); !secrets.empty()) {
      request.environment = process::environment_with(secrets);
    }
    request.stdin_stream = process::Stream::null;
    request.stdout_stream = process::Stream::file;
    request.output_path = path;
    request.stderr_stream = process::Stream::stdout;
    request.new_session = true;
    process::Child child = process::Child::spawn(request);
    child_end_.launched();
    const pid_t pid = child.pid();
    {
      MutexLock lock(state_mutex_);
      process_.emplace(std::move(child));
    }
    if (options_.on_launch) {
      try {
        options_.on_launch(LaunchedRun{.action_id = action_record_id_,
                                       .record = action_info_,
                                       .log_path = path,
                                       .cid_path = launch.cid_path.value_or(""),
                                       .client_pid = pid,
                                       .started_at = std::chrono::system_clock::now()});
      } catch (const std::exception& e) {
        log::error("Error keeping action %s for a restart: %s", label(), e.what());
      }
    }
  });
}

std::string WorkUnit::get_log_path() {
  const std::string dir = options_.log_dir.string();
  return log_errors("get_log_path", {.default_return = dir, .log_error = false}, [&] {
    // The folder is the agent's alone (0700); one left readable by an older
    // agent is closed.
    const std::filesystem::path folder = options_.log_dir;
    if (folder.has_parent_path()) std::filesystem::create_directories(folder.parent_path());
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(), "cannot create " + dir);
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
      ::chmod(folder.c_str(), 0700);
    }
    return dir;
  });
}

std::optional<Json> WorkUnit::get_action_details() {
  return log_errors("get_action_details", {.default_return = std::nullopt, .log_error = false},
                    [&]() -> std::optional<Json> {
                      backend::Result result = scaling_.get_action_details(action_record_id_);
                      if (result.has_error()) {
                        log::error("Error getting action details: %s", *result.error);
                        return std::nullopt;
                      }
                      return std::move(result.data);
                    });
}

Json WorkUnit::_init_credentials() {
  return log_errors(
      "_init_credentials",
      {.default_return = Json::object(), .raise_exception = true, .log_error = false}, [&] {
        const backend::Session& session = scaling_.session();
        log::register_secret(session.access_key);
        log::register_secret(session.secret_key);
        set_tavoren_keys(session.access_key, session.secret_key);
        if (session.access_key.empty() || session.secret_key.empty()) {
          throw ValueError(
              "Tavoren credentials not found - both access key ID and secret access key are "
              "required");
        }
        Json credentials = Json::object();
        credentials["tavoren_access_key_id"] = session.access_key;
        credentials["tavoren_secret_access_key"] = session.secret_key;
        return credentials;
      });
}

bool WorkUnit::is_running() {
  return log_errors("is_running", {.default_return = false, .log_error = false}, [&] {
    MutexLock lifecycle(lifecycle_mutex_);
    if (!has_process()) return false;
    switch (child_end_.stage()) {
      case ChildEnd::Stage::taken:
        return true;  // the log thread is recording the end right now
      case ChildEnd::Stage::finished: {
        // stop() recorded the end and flushed the log; the handle goes.
        const std::optional<process::ExitStatus> status = child_exit_status();
        if (status && child_end_.claim_log_line()) {
          log::info("Process for action %s has terminated with exit code: %s", label(),
                    status->returncode());
        }
        clear_process();
        return false;
      }
      case ChildEnd::Stage::open:
        break;
    }
    // Its owner stops it (and records the end) at once.
    if (taken_away_.load()) return false;
    // The log thread watches the child and records its end the moment it
    // comes.
    if (child_end_.watched() && !stop_thread_.load()) return true;
    try {
      std::optional<process::ExitStatus> status;
      {
        MutexLock lock(state_mutex_);
        status = process_->poll();
      }
      if (!status) return true;
      if (!child_end_.take()) return true;  // the log thread took it meanwhile
      child_end_.mark_gone();
      const std::string id = label();
      if (child_end_.claim_log_line()) {
        log::info("Process for action %s has terminated with exit code: %s", id,
                  status->returncode());
      }
      const bool log_complete = flush_final_logs();
      report_exit(*status, log_complete);
      child_end_.settle(true);
    } catch (const std::exception& e) {
      log::error("Error checking process status: %s", e.what());
      flush_final_logs();
    }
    clear_process();
    return false;
  });
}

void WorkUnit::stop() {
  log_errors("stop", {.log_error = false}, [&] {
    MutexLock lifecycle(lifecycle_mutex_);
    const std::string id = label();
    request_thread_stop();
    if (!child_end_.take()) {
      // The log thread recorded the child's end (or is recording it): the
      // log is flushed there, and only the thread is left to join. Nothing
      // is stopped, so nothing says so.
      join_log_thread(id);
      return;
    }
    log::info("Stopping action %s", id);
    bool container_asked = false;
    try {
      if (has_process()) {
        log::info("Terminating process for action %s", id);
        process::Child& child = child_of_end_taker();
        child.signal_group(SIGTERM);
        // The engine's client does not stop its container when signalled:
        // the engine is asked directly, with the same grace period.
        container_asked = stop_container(id);
        if (child.wait_for(options_.timings.term_grace)) {
          child_end_.mark_gone();
          log::info("Process terminated gracefully for action %s", id);
        } else {
          log::warning("Process didn't terminate gracefully, forcing kill for action %s", id);
          try {
            child.signal_group(SIGKILL);
            if (!child.wait_for(options_.timings.kill_wait)) {
              throw std::runtime_error("the process was still running " +
                                       std::to_string(options_.timings.kill_wait.count()) +
                                       " ms after SIGKILL");
            }
            child_end_.mark_gone();
          } catch (const std::exception& e) {
            log::error("Error force-killing process for action %s: %s", id, e.what());
          }
        }
      }
    } catch (const std::exception& e) {
      log::error("Error stopping process for action %s: %s", id, e.what());
    }
    // A client ended before it wrote the container's id: the container may
    // have been created meanwhile.
    if (!container_asked) {
      try {
        stop_container(id);
      } catch (const std::exception& e) {
        log::error("Error stopping process for action %s: %s", id, e.what());
      }
    }
    const bool log_complete = flush_final_logs();
    const std::optional<process::ExitStatus> status = child_exit_status();
    if (status) report_exit(*status, log_complete);
    child_end_.settle(status.has_value());
    join_log_thread(id);
  });
}

std::optional<std::string> WorkUnit::container_id() const {
  if (!adopted_container_.empty()) return adopted_container_;
  std::optional<std::string> path;
  {
    MutexLock lock(state_mutex_);
    path = cid_path_;
  }
  if (!path) return std::nullopt;
  const std::optional<std::string> content = read_file_if_present(*path);
  if (!content) return std::nullopt;
  const std::vector<std::string> words = split_whitespace(*content);
  if (words.empty()) return std::nullopt;
  return words.front();
}

bool WorkUnit::stop_container(const std::string& label, bool only_if_running) {
  const std::optional<std::string> id = container_id();
  if (!id) return false;
  const auto grace = options_.timings.term_grace;
  const int grace_seconds = static_cast<int>((grace.count() + 999) / 1000);
  try {
    engine::Client client;
    if (only_if_running) {
      const Json record = client.inspect_container(*id);
      const auto state = record.find("State");
      if (state == record.end() || !state->is_object() || !state->value("Running", false)) {
        log::debug("Container %s of action %s has ended", *id, label);
        return true;
      }
    }
    log::info("Stopping container %s of action %s", *id, label);
    client.stop_container(*id, grace_seconds);
  } catch (const engine::ApiError& e) {
    if (only_if_running && e.status() == 404) return true;  // gone with its end
    log::warning("Container %s of action %s did not stop: %s", *id, label, e.what());
  } catch (const std::exception& e) {
    log::warning("Container %s of action %s did not stop: %s", *id, label, e.what());
  }
  return true;
}

void WorkUnit::join_log_thread(const std::string& id) {
  if (!log_thread_.joinable()) return;
  if (wait_log_thread_done(std::chrono::milliseconds(0))) {
    log_thread_.join();  // already finished: only its resources are left
    return;
  }
  log::info("Waiting for log thread to complete for action %s", id);
  try {
    if (!wait_log_thread_done(options_.timings.join_limit)) {
      // The destructor joins it for sure.
      log::warning("Log thread didn't complete within timeout for action %s", id);
      return;
    }
    log_thread_.join();
    log::info("Log thread completed successfully for action %s", id);
  } catch (const std::system_error& e) {
    log::error("Error waiting for log thread for action %s: %s", id, e.what());
  }
}

bool WorkUnit::wait_log_thread_done(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  MutexLock lock(wake_mutex_);
  // The wait releases wake_mutex_ and takes it again (see common/mutex.h).
  while (!log_thread_done_) {
    if (wake_.wait_until(wake_mutex_, deadline) == std::cv_status::timeout) break;
  }
  return log_thread_done_;
}

}  // namespace tavoren
