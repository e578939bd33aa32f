// A recording fake of the backend for tests.
//
// Every call is recorded with its arguments: named arguments as the object
// the caller passed (key order kept), positional ones as an array. Answers
// are scripted per operation: queued answers are used first, in order, then
// the operation's default answer (an empty success unless set). A scripted
// answer may also throw, or be computed by a handler.
//
// Thread-safe: calls may come from several threads at once.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tavoren/backend.h"

namespace tavoren::testing {

class FakeScaling : public backend::Scaling {
 public:
  struct Call {
    std::string operation;
    Json arguments;
  };
  // An answer: a Result, or a failure thrown as std::runtime_error(what).
  struct Answer {
    backend::Result result;
    std::optional<std::string> throw_what;
  };
  using Handler = std::function<backend::Result(const Json& arguments)>;

  FakeScaling() = default;
  explicit FakeScaling(backend::Session session) : session_(std::move(session)) {}

  // Scripting.
  void push(const std::string& operation, backend::Result result);
  void push_throw(const std::string& operation, const std::string& what);
  void set_default(const std::string& operation, backend::Result result);
  // Computes every answer of `operation` (after queued ones run out).
  void set_handler(const std::string& operation, Handler handler);
  // For the operations that answer a bare value (get_data_processing_image,
  // get_open_port, get_shutdown_details): the Result's data is the value.

  // Inspection.
  std::vector<Call> calls() const;
  std::vector<Call> calls(const std::string& operation) const;
  std::size_t count(const std::string& operation) const;
  // Waits until `operation` was called at least `n` times; false on timeout.
  bool wait_for_calls(const std::string& operation, std::size_t n,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
  void clear_calls();

  // backend::Scaling
  const backend::Session& session() const override { return session_; }
  backend::Result assign_jobs(bool has_gpu) override;
  backend::Result update_action_status(const Json& arguments) override;
  backend::Result update_status(const std::string& action_record_id, const std::string& action_type,
                                const std::string& service, const std::string& step_code,
                                const std::string& status, const std::string& description) override;
  backend::Result update_action(const Json& arguments) override;
  backend::Result update_action_docker_logs(const Json& arguments) override;
  backend::Result get_action_details(const std::string& action_record_id) override;
  backend::Result get_downscaled_ids() override;
  backend::Result get_model_codebase(const std::string& model_family) override;
  backend::Result get_model_codebase_requirements(const std::string& model_family) override;
  backend::Result get_docker_hub_credentials() override;
  backend::Result get_user_access_key_pair(const std::string& user_id) override;
  backend::Result get_model_secret_keys(const std::string& secret_name,
                                        const std::string& action_record_id = "") override;
  backend::Result get_internal_api_key(const std::string& action_record_id) override;
  Json get_data_processing_image() override;
  Json get_open_port() override;
  Json get_shutdown_details() override;
  backend::Result update_available_resources(const Json& arguments) override;

  backend::Session& mutable_session() { return session_; }

 private:
  backend::Result answer(const std::string& operation, Json arguments);

  backend::Session session_;
  mutable std::mutex mutex_;
  mutable std::condition_variable called_;
  std::vector<Call> calls_;
  std::map<std::string, std::deque<Answer>> queued_;
  std::map<std::string, backend::Result> defaults_;
  std::map<std::string, Handler> handlers_;
};

}  // namespace tavoren::testing
