#include "fake_scaling.h"

#include <stdexcept>

namespace tavoren::testing {

using backend::Result;

void FakeScaling::push(const std::string& operation, Result result) {
  std::lock_guard lock(mutex_);
  queued_[operation].push_back({std::move(result), std::nullopt});
}

void FakeScaling::push_throw(const std::string& operation, const std::string& what) {
  std::lock_guard lock(mutex_);
  queued_[operation].push_back({Result{}, what});
}

void FakeScaling::set_default(const std::string& operation, Result result) {
  std::lock_guard lock(mutex_);
  defaults_[operation] = std::move(result);
}

void FakeScaling::set_handler(const std::string& operation, Handler handler) {
  std::lock_guard lock(mutex_);
  handlers_[operation] = std::move(handler);
}

std::vector<FakeScaling::Call> FakeScaling::calls() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

std::vector<FakeScaling::Call> FakeScaling::calls(const std::string& operation) const {
  std::lock_guard lock(mutex_);
  std::vector<Call> selected;
  for (const auto& c : calls_) {
    if (c.operation == operation) selected.push_back(c);
  }
  return selected;
}

std::size_t FakeScaling::count(const std::string& operation) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const auto& c : calls_) n += c.operation == operation ? 1 : 0;
  return n;
}

bool FakeScaling::wait_for_calls(const std::string& operation, std::size_t n,
                                 std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return called_.wait_for(lock, limit, [&] {
    std::size_t seen = 0;
    for (const auto& c : calls_) seen += c.operation == operation ? 1 : 0;
    return seen >= n;
  });
}

void FakeScaling::clear_calls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
}

Result FakeScaling::answer(const std::string& operation, Json arguments) {
  Handler handler;
  {
    std::lock_guard lock(mutex_);
    calls_.push_back({operation, arguments});
    called_.notify_all();
    auto queued = queued_.find(operation);
    if (queued != queued_.end() && !queued->second.empty()) {
      Answer next = std::move(queued->second.front());
      queued->second.pop_front();
      if (next.throw_what) throw std::runtime_error(*next.throw_what);
      return next.result;
    }
    auto h = handlers_.find(operation);
    if (h != handlers_.end()) {
      handler = h->second;
    } else {
      auto d = defaults_.find(operation);
      return d != defaults_.end() ? d->second : Result{};
    }
  }
  // Handlers run without the lock, so they may call back into the fake.
  return handler(arguments);
}

Result FakeScaling::assign_jobs(bool has_gpu) {
  return answer("assign_jobs", Json::array({has_gpu}));
}
Result FakeScaling::update_action_status(const Json& arguments) {
  return answer("update_action_status", arguments);
}
Result FakeScaling::update_status(const std::string& action_record_id,
                                  const std::string& action_type, const std::string& service,
                                  const std::string& step_code, const std::string& status,
                                  const std::string& description) {
  return answer("update_status", Json::array({action_record_id, action_type, service, step_code,
                                              status, description}));
}
Result FakeScaling::update_action(const Json& arguments) {
  return answer("update_action", arguments);
}
Result FakeScaling::update_action_docker_logs(const Json& arguments) {
  return answer("update_action_docker_logs", arguments);
}
Result FakeScaling::get_action_details(const std::string& action_record_id) {
  return answer("get_action_details", Json::array({action_record_id}));
}
Result FakeScaling::get_downscaled_ids() { return answer("get_downscaled_ids", Json::array()); }
Result FakeScaling::get_model_codebase(const std::string& model_family) {
  return answer("get_model_codebase", Json::array({model_family}));
}
Result FakeScaling::get_model_codebase_requirements(const std::string& model_family) {
  return answer("get_model_codebase_requirements", Json::array({model_family}));
}
Result FakeScaling::get_docker_hub_credentials() {
  return answer("get_docker_hub_credentials", Json::array());
}
Result FakeScaling::get_user_access_key_pair(const std::string& user_id) {
  return answer("get_user_access_key_pair", Json::array({user_id}));
}
Result FakeScaling::get_model_secret_keys(const std::string& secret_name,
                                          const std::string& action_record_id) {
  return answer("get_model_secret_keys", Json::array({secret_name, action_record_id}));
}
Result FakeScaling::get_internal_api_key(const std::string& action_record_id) {
  return answer("get_internal_api_key", Json::array({action_record_id}));
}
Json FakeScaling::get_data_processing_image() {
  return answer("get_data_processing_image", Json::array()).data;
}
Json FakeScaling::get_open_port() { return answer("get_open_port", Json::array()).data; }
Json FakeScaling::get_shutdown_details() {
  return answer("get_shutdown_details", Json::array()).data;
}
Result FakeScaling::update_available_resources(const Json& arguments) {
  return answer("update_available_resources", arguments);
}

}  // namespace tavoren::testing
