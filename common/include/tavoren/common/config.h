// Addresses the agent reaches that are settings of this implementation,
// each overridable by an environment variable (documented in README.md).
// Read anew on every call, so tests point them at loopback servers.
// Safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace tavoren::config {

// Host (with optional ":port") of the GCP metadata server.
// TAVOREN_GCP_METADATA_HOST, default "metadata.google.internal".
std::string gcp_metadata_host();
// Host (with optional ":port") of the link-local metadata service shared by
// Azure, OCI and AWS. TAVOREN_METADATA_ADDRESS, default "169.254.169.254".
std::string metadata_address();
// URL of a service that answers with the caller's public IPv4 address as
// its whole body. TAVOREN_PUBLIC_IP_URL, default "https://api.ipify.org".
std::string public_ip_url();
// Host (with optional ":port") of the public package index that job
// containers install the platform's client package from.
// TAVOREN_PACKAGE_INDEX_HOST, default "pypi.org".
std::string package_index_host();
// Host (with optional ":port") of that index's test instance, used outside
// the production environment. TAVOREN_TEST_PACKAGE_INDEX_HOST, default
// "test.pypi.org".
std::string test_package_index_host();

}  // namespace tavoren::config
