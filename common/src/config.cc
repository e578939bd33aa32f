// Addresses that are settings of this implementation. An environment
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

std::string gcp_metadata_host() {
  return setting("TAVOREN_GCP_METADATA_HOST", "metadata.google.internal");
}

std::string metadata_address() { return setting("TAVOREN_METADATA_ADDRESS", "169.254.169.254"); }

std::string public_ip_url() { return setting("TAVOREN_PUBLIC_IP_URL", "https://api.ipify.org"); }

std::string package_index_host() { return setting("TAVOREN_PACKAGE_INDEX_HOST", "pypi.org"); }

std::string test_package_index_host() {
  return setting("TAVOREN_TEST_PACKAGE_INDEX_HOST", "test.pypi.org");
}

}  // namespace tavoren::config
