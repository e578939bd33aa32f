// The agent's settings from its environment. For the addresses, a
// variable that is set and not empty replaces the built-in value.
#include "tavoren/common/config.h"

#include "tavoren/common/text.h"

namespace tavoren::config {
namespace {

std::string setting(const char* variable, const char* fallback) {
  std::optional<std::string> value = get_env(variable);
  if (value && !value->empty()) return *value;
  return fallback;
}

}  // namespace

std::optional<std::string> service_provider() { return get_env("SERVICE_PROVIDER"); }

std::string environment() { return get_env("ENV").value_or("prod"); }

std::string gcp_metadata_host() {
  return setting("TAVOREN_GCP_METADATA_HOST", "metadata.google.internal");
}

std::string metadata_address() { return setting("TAVOREN_METADATA_ADDRESS", "169.254.169.254"); }

std::string public_ip_url() { return setting("TAVOREN_PUBLIC_IP_URL", "https://api.ipify.org"); }

std::string package_index_host() { return setting("TAVOREN_PACKAGE_INDEX_HOST", "pypi.org"); }

std::string test_package_index_host() {
  return setting("TAVOREN_TEST_PACKAGE_INDEX_HOST", "test.pypi.org");
}

std::string package_index_url(std::string_view env) {
  const std::string host = env == "prod" ? package_index_host() : test_package_index_host();
  return "https://" + host + "/simple/";
}

}  // namespace tavoren::config
