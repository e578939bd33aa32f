// Spot and preemptible machines, and their clouds' interruption notices,
// read from the metadata services the identity probes use.

#include <optional>
#include <string>

#include "tavoren/common/config.h"
#include "tavoren/common/http.h"
#include "tavoren/common/json.h"
#include "tavoren/common/logging.h"
#include "tavoren/common/text.h"
#include "tavoren/host_probe.h"

namespace tavoren::host_probe {
namespace {

using std::chrono::milliseconds;

std::string gcp_base() { return "http://" + config::gcp_metadata_host() + "/computeMetadata/v1"; }
std::string link_local() { return "http://" + config::metadata_address(); }

// The body of a 200 answer; nullopt for any other status.
std::optional<std::string> body_if_ok(const http::Request& request) {
  const http::Response response = http::get(request);
  if (response.status != 200) return std::nullopt;
  return response.body;
}

// An IMDSv2 session token, the header that carries it (empty when the
// service gives none: IMDSv1 answers without).
std::string aws_token_header(milliseconds limit) {
  http::Request request{link_local() + "/latest/api/token",
                        {"X-aws-ec2-metadata-token-ttl-seconds: 300"},
                        limit,
                        true};
  const std::optional<std::string> token = body_if_ok(request);
  if (!token || trim(*token).empty()) return "";
  return "X-aws-ec2-metadata-token: " + trim(*token);
}

std::optional<std::string> aws_get(const std::string& path, milliseconds limit) {
  std::vector<std::string> headers;
  const std::string token = aws_token_header(limit);
  if (!token.empty()) headers.push_back(token);
  return body_if_ok({link_local() + path, headers, limit});
}

}  // namespace

bool is_spot_machine(const std::string& provider, milliseconds limit) {
  try {
    if (provider == "AWS") {
      return trim(aws_get("/latest/meta-data/instance-life-cycle", limit).value_or("")) == "spot";
    }
    if (provider == "GCP") {
      const auto answer = body_if_ok(
          {gcp_base() + "/instance/scheduling/preemptible", {"Metadata-Flavor: Google"}, limit});
      return trim(answer.value_or("")) == "TRUE";
    }
    if (provider == "AZURE") {
      const auto answer = body_if_ok(
          {link_local() + "/metadata/instance/compute/priority?api-version=2021-02-01&format=text",
           {"Metadata:true"},
           limit});
      return trim(answer.value_or("")) == "Spot";
    }
    if (provider == "OCI") {
      const auto answer =
          body_if_ok({link_local() + "/opc/v2/instance/", {"Authorization: Bearer Oracle"}, limit});
      if (!answer) return false;
      const std::optional<Json> instance = try_parse_json(*answer);
      return instance && instance->is_object() && instance->contains("preemptibleInstanceConfig") &&
             !(*instance)["preemptibleInstanceConfig"].is_null();
    }
  } catch (const std::exception& e) {
    log::warning("Cannot tell whether this %s machine is a spot one: %s", provider, e.what());
  }
  return false;
}

bool gives_interruption_notice(const std::string& provider) {
  return provider == "AWS" || provider == "GCP" || provider == "AZURE";
}

std::optional<InterruptionNotice> read_interruption_notice(const std::string& provider,
                                                           milliseconds limit) {
  if (provider == "AWS") {
    const std::string token = aws_token_header(limit);
    std::vector<std::string> headers;
    if (!token.empty()) headers.push_back(token);
    const auto rebalance = body_if_ok(
        {link_local() + "/latest/meta-data/events/recommendations/rebalance", headers, limit});
    const auto action =
        body_if_ok({link_local() + "/latest/meta-data/spot/instance-action", headers, limit});
    if (action) {
      const std::optional<Json> parsed = try_parse_json(*action);
      InterruptionNotice notice{"AWS", "terminate", "", *action};
      if (parsed && parsed->is_object()) {
        notice.action = parsed->value("action", std::string("terminate"));
        notice.deadline = parsed->value("time", std::string());
      }
      return notice;
    }
    if (rebalance) return InterruptionNotice{"AWS", "rebalance", "", *rebalance};
    return std::nullopt;
  }
  if (provider == "GCP") {
    const auto answer =
        body_if_ok({gcp_base() + "/instance/preempted", {"Metadata-Flavor: Google"}, limit});
    if (answer && trim(*answer) == "TRUE") return InterruptionNotice{"GCP", "preempt", "", ""};
    return std::nullopt;
  }
  if (provider == "AZURE") {
    const auto answer =
        body_if_ok({link_local() + "/metadata/scheduledevents?api-version=2020-07-01",
                    {"Metadata:true"},
                    limit});
    if (!answer) return std::nullopt;
    const std::optional<Json> parsed = try_parse_json(*answer);
    if (!parsed || !parsed->is_object()) return std::nullopt;
    for (const Json& event : parsed->value("Events", Json::array())) {
      if (!event.is_object() || event.value("EventType", std::string()) != "Preempt") continue;
      return InterruptionNotice{"AZURE", "preempt", event.value("NotBefore", std::string()),
                                event.value("EventId", std::string())};
    }
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace tavoren::host_probe
