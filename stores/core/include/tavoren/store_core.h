// The store core: every operation of tavoren/store.h, written once over a
// database's port (tavoren/store_port.h). The SQLite store and the
// PostgreSQL store are this class with their own port, options and
// database-only functions (schema, export, import).
//
// Ownership: the port is shared by the store and every view made of it;
// it closes with the last of them. Threads and failures: as tavoren/store.h
// says.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "tavoren/common/sealing.h"
#include "tavoren/store.h"

namespace tavoren::backend {

namespace core {
class Port;
struct Shared;
}  // namespace core

// The rules a store keeps for its machines (tavoren/store.h, Machines).
struct FleetRules {
  // Without contact this long a machine is "unresponsive"; this long, "lost".
  std::chrono::seconds unresponsive_after{90};
  std::chrono::seconds lost_after{300};
  // How often an action may be queued again after a cause that requeues,
  // when its record sets no "retry"; 0: never.
  int requeue_lost = 1;
  // Polls of one machine closer together than this get nothing; 0: no
  // limit.
  std::chrono::milliseconds min_poll_interval{0};
  // The live actions a machine holds at most, unless the operator says.
  int default_max_actions = 8;
  // Added to the database's clock (tests that move time).
  std::chrono::milliseconds clock_offset{0};
};

// What every store is configured with, whatever its database.
struct CoreOptions {
  // The instance whose agent the Scaling operations act for; empty for an
  // operator's store (assign_jobs is then refused).
  std::string instance_id;
  // Answered by session().
  Session session;
  // The most actions one assign_jobs hands out (at least 1).
  int assign_batch = 1;
  // How long a port answered by get_open_port is held (see
  // LocalBackendOptions).
  std::chrono::seconds port_hold{600};
  // Where candidate free ports come from; empty: this host's kernel.
  std::function<int()> port_probe;
  // Ports handed out per instance from this range instead of probing.
  std::optional<std::pair<int, int>> port_range;
  // The most bytes of log stored per action; 0: no limit.
  std::int64_t log_limit_bytes = 0;
  // How often one store (with its views) sweeps expired kept answers, and
  // expired request nonces: at the first write of each period, and again at
  // the next write while a sweep finds more than one batch; 0: at every
  // write. A kept answer or nonce that expired is taken over by its own key
  // whenever it is written again, swept or not.
  std::chrono::milliseconds sweep_every{1000};
  FleetRules fleet;
  // The server's master key (see the stores' options); null: none.
  std::shared_ptr<const sealing::Keyring> keyring;
  // Key pairs are opened under the keyring and answered in clear, not
  // re-sealed for a transport key: the embedded backend, whose answers
  // never leave the agent's process.
  bool key_pairs_in_clear = false;
};

// The shared part of a store's own options (LocalBackendOptions,
// PgBackendOptions), which name these fields alike.
template <typename Options>
CoreOptions core_options_of(const Options& options) {
  return CoreOptions{.instance_id = options.instance_id,
                     .session = options.session,
                     .assign_batch = options.assign_batch,
                     .port_hold = options.port_hold,
                     .port_probe = options.port_probe,
                     .port_range = options.port_range,
                     .log_limit_bytes = options.log_limit_bytes,
                     .sweep_every = options.sweep_every,
                     .fleet = options.fleet,
                     .keyring = options.keyring};
}

// Checks the options every store shares: ValueError for an assign_batch
// below 1, an invalid port range, a negative log limit, or fleet rules
// out of order (lost_after not after unresponsive_after, negative counts).
void check_core_options(const CoreOptions& options);

class StoreCore : public Store {
 public:
  StoreCore(std::shared_ptr<core::Port> port, CoreOptions options);
  ~StoreCore() override;
  StoreCore(const StoreCore&) = delete;
  StoreCore& operator=(const StoreCore&) = delete;

  std::unique_ptr<Store> instance_view(const std::string& instance_id,
                                       Session session = {}) const override;

  // ---- Scaling -----------------------------------------------------------
  const Session& session() const override;
  Result assign_jobs(bool has_gpu) override;
  Result update_action_status(const Json& arguments) override;
  Result update_status(const std::string& action_record_id, const std::string& action_type,
                       const std::string& service, const std::string& step_code,
                       const std::string& status, const std::string& description) override;
  Result update_action(const Json& arguments) override;
  Result update_action_docker_logs(const Json& arguments) override;
  Result get_action_details(const std::string& action_record_id) override;
  Result get_downscaled_ids() override;
  Result get_model_codebase(const std::string& model_family) override;
  Result get_model_codebase_requirements(const std::string& model_family) override;
  Result get_docker_hub_credentials() override;
  Result get_user_access_key_pair(const std::string& user_id) override;
  Result get_model_secret_keys(const std::string& secret_name,
                               const std::string& action_record_id = "") override;
  Result get_internal_api_key(const std::string& action_record_id) override;
  Json get_data_processing_image() override;
  Json get_open_port() override;
  Json get_shutdown_details() override;
  Result update_available_resources(const Json& arguments) override;

  // ---- Store -------------------------------------------------------------
  std::string submit(const Json& record) override;
  Json list() override;
  std::map<std::string, std::int64_t> count_by_state() override;
  Json show(const std::string& action_record_id) override;
  LogChunk logs(const std::string& action_record_id, std::int64_t after_offset = 0) override;
  void record_exit(const std::string& action_record_id, int exit_status) override;
  EndRecorded record_end(const std::string& action_record_id, const ActionEnd& end) override;
  LogChunk attempt_log(const std::string& action_record_id, std::int64_t attempt,
                       std::int64_t after_offset = 0) override;
  void set_machine(const std::string& instance_id, const MachineChange& change,
                   bool create) override;
  Json machines() override;
  Json fleet_page(const FleetQuery& query) override;
  Json queue(std::int64_t limit) override;
  Json machine(const std::string& instance_id) override;
  void drain_machine(const std::string& instance_id,
                     std::optional<std::chrono::seconds> deadline) override;
  void undrain_machine(const std::string& instance_id) override;
  void forget_machine(const std::string& instance_id) override;
  void record_contact(const std::string& instance_id, const Contact& contact) override;
  SweepOutcome sweep_machines() override;
  std::map<std::pair<std::string, std::string>, std::int64_t> count_machines() override;
  std::optional<std::int64_t> held_attempt(const std::string& action_record_id,
                                           const std::string& instance_id) override;
  Result update_step(const Json& arguments) override;
  void scale_down(const std::string& action_record_id) override;
  void set_registry_credentials(const std::string& username, const std::string& password,
                                const std::string& registry = "") override;
  void set_key_pair(const std::string& user_id, const std::string& access_key,
                    const std::string& secret_key) override;
  void set_codebase(const std::string& model_family, const std::string& url,
                    const std::optional<std::string>& requirements_url = std::nullopt) override;
  void set_model_secret(const std::string& secret_name, const std::string& user_access_token,
                        const std::string& owner = "") override;
  void set_internal_api_key(const std::string& action_record_id, const std::string& key) override;
  void set_data_processing_image(const std::string& image) override;
  void set_shutdown_details(double shutdown_threshold, double launch_duration,
                            const std::string& instance_source) override;
  Json machine_resources() override;
  Json configuration() override;

  std::optional<ActionAccess> action_access(const std::string& action_record_id) override;
  bool has_live_action_of(const std::string& instance_id, const std::string& user_id) override;
  bool has_live_action(const std::string& instance_id) override;
  Result get_own_downscaled_ids() override;
  RecordedAnswer assign_jobs(bool has_gpu, const WriteOnce& once) override;
  RecordedAnswer update_action_docker_logs(const Json& arguments, const WriteOnce& once) override;
  RecordedAnswer write_once(const WriteOnce& once,
                            const std::function<std::string()>& write) override;
  std::optional<RecordedAnswer> recorded_answer(const std::string& caller,
                                                const std::string& key) override;
  RecordedAnswer record_answer(const std::string& caller, const std::string& key,
                               const std::string& request_hash, const std::string& answer,
                               std::chrono::seconds keep = std::chrono::hours(24)) override;
  void add_access_key(const AccessKeyRecord& key) override;
  std::vector<AccessKeyRecord> access_keys() override;
  std::optional<AccessKeyRecord> find_access_key(const std::string& access_key) override;
  bool revoke_access_key(const std::string& access_key) override;
  bool remember_nonce(const std::string& access_key, const std::string& nonce,
                      std::int64_t expires_at) override;
  // Where the port carries nonces, the nonce rides with the first write
  // transaction of `handle` (core::NonceRide), else it is remembered first.
  bool with_nonce(const std::string& access_key, const std::string& nonce, std::int64_t expires_at,
                  const std::function<void()>& handle) override;
  void set_transport_key(const std::string& instance_id, const std::string& key) override;
  bool has_transport_key(const std::string& instance_id) override;
  std::string key_sealing() override;
  void mark_key_sealing(const std::string& state) override;
  ResealStep reseal_secrets(const std::string& old_key, std::size_t batch) override;

 protected:
  const std::shared_ptr<core::Port>& port() const { return port_; }
  const CoreOptions& core_options() const { return options_; }

 private:
  // A view shares its store's parts (made once, not for each view).
  StoreCore(std::shared_ptr<core::Port> port, CoreOptions options,
            std::shared_ptr<core::Shared> shared);
  Result downscaled(const std::optional<std::string>& instance);
  LogChunk read_log(const std::string& action_record_id, std::optional<std::int64_t> attempt,
                    std::int64_t after_offset);
  int hand_out_range_port();
  // Deletes expired request nonces when a sweep is due.
  void sweep_nonces_if_due();

  std::shared_ptr<core::Port> port_;
  CoreOptions options_;
  // What the store and its views share: when expired rows are next swept,
  // and the nonces of callers at the same time written together.
  std::shared_ptr<core::Shared> shared_;
};

}  // namespace tavoren::backend
