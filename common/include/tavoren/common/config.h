// The agent's settings from its environment, in one place: the platform's
// own variables (SERVICE_PROVIDER, ENV), and the addresses the agent reaches
// that are settings of this implementation, each overridable by an
// environment variable (documented in README.md).
//
// Read anew on every call, so tests change them between calls and point
// the addresses at loopback servers. Safe from any thread (as long as
// nothing changes the environment at the same time); nothing here throws
// except for lack of memory.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tavoren::config {

// SERVICE_PROVIDER: the cloud provider the platform says this instance runs
// on ("AWS", "GCP", "LAMBDA", ...). nullopt when unset; a value that is set
// comes as it is, even empty. Each caller decides what a missing one means.
std::optional<std::string> service_provider();

// ENV: the platform environment the agent works for; "prod" when unset (a
// value that is set comes as it is, even empty).
std::string environment();

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
// The simple-index URL ("https://<host>/simple/") that job containers
// install the platform's client package from in environment `env`:
// package_index_host() for "prod", test_package_index_host() for any other.
std::string package_index_url(std::string_view env);

}  // namespace tavoren::config
