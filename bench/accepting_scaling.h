// A backend for the benchmarks that accepts everything and counts the log
// bytes it was sent.
#pragma once

#include <atomic>
#include <cstdint>

#include "tavoren/backend.h"

namespace tavoren::bench {

class AcceptingScaling : public backend::Scaling {
 public:
  std::atomic<std::uint64_t> log_bytes{0};
  std::atomic<std::uint64_t> log_calls{0};

  const backend::Session& session() const override { return session_; }
  backend::Result assign_jobs(bool) override { return {}; }
  backend::Result update_action_status(const Json&) override { return {}; }
  backend::Result update_status(const std::string&, const std::string&, const std::string&,
                                const std::string&, const std::string&,
                                const std::string&) override {
    return {};
  }
  backend::Result update_action(const Json&) override { return {}; }
  backend::Result update_action_docker_logs(const Json& arguments) override {
    log_bytes += arguments.at("log_content").get_ref<const std::string&>().size();
    ++log_calls;
    return {};
  }
  backend::Result get_action_details(const std::string&) override { return {}; }
  backend::Result get_downscaled_ids() override { return {}; }
  backend::Result get_model_codebase(const std::string&) override { return {}; }
  backend::Result get_model_codebase_requirements(const std::string&) override { return {}; }
  backend::Result get_docker_hub_credentials() override { return {}; }
  backend::Result get_user_access_key_pair(const std::string&) override { return {}; }
  backend::Result get_model_secret_keys(const std::string&, const std::string& = "") override {
    return {};
  }
  backend::Result get_internal_api_key(const std::string&) override { return {}; }
  Json get_data_processing_image() override { return "bench/image:1"; }
  Json get_open_port() override { return 0; }
  Json get_shutdown_details() override { return Json::object(); }

 private:
  backend::Session session_;
};

// A fresh temporary folder, removed with everything in it on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace tavoren::bench
