// What an action's container needs from outside before it starts: the
// model codebase on the host, the container engine's registry login, and
// the access keys of the action's owner.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tavoren/common/errors.h"
#include "tavoren/common/log_errors.h"
#include "tavoren/common/logging.h"
#include "tavoren/host_probe.h"
#include "tavoren/work_unit.h"
#include "tavoren/workspace_fetch.h"

namespace tavoren {
namespace {

// Logs the container engine in to the image registry named by the
// credentials (host_probe::login_to_registry: the password on the login's
// standard input, never on a command line; the login's own output goes to
// the agent's streams).
void login_to_registry(WorkUnit& unit, backend::Scaling& scaling) {
  const backend::Result credentials = scaling.get_docker_hub_credentials();
  if (credentials.has_error()) {
    throw std::runtime_error("Failed to get Docker credentials: " + credentials.message);
  }
  const std::string username =
      text_of(required_field(credentials.data, "the registry credentials", "username"));
  const std::string password =
      text_of(required_field(credentials.data, "the registry credentials", "password"));
  unit.keep_secret_masked(password);

  std::optional<std::string> registry;
  if (const auto found = credentials.data.find("registry"); found != credentials.data.end()) {
    registry = text_of(*found);
  }
  host_probe::login_to_registry(username, password, registry);
}

}  // namespace

void WorkUnit::setup_action_requirements(const Json& action_details, const std::string& work_fs,
                                         const std::string& model_family,
                                         const std::string& action_id) {
  log_errors("setup_action_requirements", {.raise_exception = true}, [&] {
    if (!model_family.empty()) {
      // Without a working file system the workspace would be /<action id>,
      // a folder on the root file system.
      if (work_fs.empty()) {
        throw ValueError("No working file system for the codebase of model family " + model_family +
                         ": the workspace would be made at the root (/" + action_id + ")");
      }
      // The answers' errors are not examined: a missing URL fails the
      // download.
      const Json codebase_url = scaling_.get_model_codebase(model_family).data;
      const Json requirements_url = scaling_.get_model_codebase_requirements(model_family).data;
      std::optional<std::string> requirements;
      if (!requirements_url.is_null()) requirements = text_of(requirements_url);
      workspace_fetch::setup_workspace_and_run_task(
          work_fs, action_id, text_of(codebase_url), requirements,
          workspace_fetch::FetchLimits{.allow_loopback = options_.allow_loopback_downloads});
    }

    try {
      login_to_registry(*this, scaling_);
    } catch (const std::exception& e) {
      log::error("Docker login failed: %s", e.what());
      throw;
    }

    try {
      const std::string user_id =
          text_of(required_field(action_details, "the action record", "_idUser"));
      const backend::Result pair = scaling_.get_user_access_key_pair(user_id);
      if (pair.has_error()) {
        throw std::runtime_error("Failed to get user access key pair: " + pair.message);
      }
      const std::string access_key =
          text_of(required_field(pair.data, "the user's key pair", "access_key"));
      const std::string secret_key =
          text_of(required_field(pair.data, "the user's key pair", "secret_key"));
      const std::optional<host_probe::KeyPair> clear =
          host_probe::get_decrypted_access_key_pair(access_key, secret_key);
      if (!clear) throw std::runtime_error("The user's access key pair could not be decrypted");
      keep_secret_masked(clear->access_key);
      keep_secret_masked(clear->secret_key);
      set_tavoren_keys(clear->access_key, clear->secret_key);
    } catch (const std::exception& e) {
      log::error("Failed to setup credentials: %s", e.what());
      throw;
    }
  });
}

}  // namespace tavoren
