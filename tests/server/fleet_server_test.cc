// The fleet through the server: an agent whose machine was found lost is
// told that its writes are not current, the operator's machine calls, and
// a heartbeat as contact. Time moves through a second store object on the
// same file with a clock offset.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "server_testing.h"
#include "tavoren/metrics.h"

namespace tavoren::server_testing {
namespace {

using backend::RemoteCallError;
using std::chrono::seconds;

class FleetServerTest : public ServerTest {
 protected:
  // The same store seen `later` from now, as a sweeping server would.
  std::unique_ptr<LocalScaling> at(seconds later) const {
    LocalBackendOptions o = store_options({});
    o.fleet.clock_offset = later;
    return std::make_unique<LocalScaling>(o);
  }
  static Json piece(const std::string& id, const std::string& content) {
    return Json{{"action_record_id", id}, {"log_content", content}};
  }
};

TEST_F(FleetServerTest, TheAgentOfALostMachineIsToldItsWritesAreNoLongerCurrent) {
  const std::string id = store_.submit(action_record());
  auto first = agent(instance_a_);
  ASSERT_EQ(first->assign_jobs(false).data.at(0).at("attempt"), 1);
  EXPECT_EQ(first->attempt_of(id), 1);
  ASSERT_FALSE(first->update_action_docker_logs(piece(id, "one\n")).has_error());

  ASSERT_EQ(at(seconds(301))->sweep_machines().requeued, 1);
  auto second = agent(instance_b_);
  ASSERT_EQ(second->assign_jobs(false).data.at(0).at("attempt"), 2);
  ASSERT_FALSE(second->update_action_docker_logs(piece(id, "two\n")).has_error());

  // Every write of the first agent about the action is refused as not
  // current; it may no longer read the action either.
  const backend::Result log = first->update_action_docker_logs(piece(id, "stale\n"));
  EXPECT_TRUE(backend::is_not_current(log)) << log.error.value_or("accepted");
  EXPECT_TRUE(backend::is_not_current(
      first->update_status(id, "data_split", "service", "STEP", "OK", "stale")));
  EXPECT_EQ(first->attempt_of(id), std::nullopt) << "an attempt taken away is forgotten";
  first->adopt(id, 1);
  EXPECT_THROW(first->record_exit(id, 0), backend::NotCurrentError);
  EXPECT_EQ(first->attempt_of(id), std::nullopt);
  EXPECT_THROW(first->get_action_details(id), RemoteCallError);
  // Without an attempt (an older agent) the write is refused the same way.
  EXPECT_TRUE(backend::is_not_current(first->update_action_docker_logs(piece(id, "stale\n"))));
  // Another instance that never held it is refused outright.
  const Session stranger = server_.new_session(wire::Role::kInstance, "instance-c");
  EXPECT_THROW(agent(stranger)->update_action_docker_logs(piece(id, "x")), RemoteCallError);

  // The service counts each recorded end, and each requeue, by the cause
  // it was stored with.
  metrics::Registry& registry = metrics::Registry::process_wide();
  metrics::Counter& exited =
      registry.counter("tavoren_backend_action_ends_total", "", {"cause"}).with({"exited"});
  metrics::Counter& requeued_faults =
      registry.counter("tavoren_backend_requeues_total", "", {"cause"}).with({"gpu_fault"});
  const double exited_before = exited.value();
  second->record_exit(id, 0);
  EXPECT_EQ(second->attempt_of(id), std::nullopt);
  EXPECT_EQ(exited.value() - exited_before, 1);
  const std::string faulted = store_.submit(action_record());
  ASSERT_EQ(second->assign_jobs(false).data.at(0).at("_id"), faulted);
  const double requeued_before = requeued_faults.value();
  second->record_exit(faulted, 1, "gpu_fault");
  EXPECT_EQ(requeued_faults.value() - requeued_before, 1) << "queued again within its budget";
  EXPECT_EQ(exited.value() - exited_before, 1);
  auto op = operator_client();
  EXPECT_EQ(op->logs(id).content, "two\n");
  EXPECT_EQ(op->attempt_log(id, 1).content, "one\n");
  const Json shown = op->show(id);
  EXPECT_EQ(shown["endCause"], "exited");
  EXPECT_EQ(shown["attempt"], 2);
}

TEST_F(FleetServerTest, TheOperatorSeesSetsDrainsAndForgetsMachines) {
  auto op = operator_client();
  EXPECT_THROW(op->set_machine("instance-a", 0, 1, {}), KeyError) << "not known before a contact";
  auto machine = agent(instance_a_);
  ASSERT_FALSE(machine->heartbeat("9.9.9", "gcp").has_error());
  Json listed = op->machines();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["instanceId"], "instance-a");
  EXPECT_EQ(listed[0]["agentVersion"], "9.9.9");
  EXPECT_EQ(listed[0]["provider"], "gcp");
  EXPECT_EQ(listed[0]["liveness"], "alive");
  EXPECT_EQ(listed[0]["address"], "127.0.0.1");

  op->set_machine("instance-a", std::nullopt, 1, {{"rack", "r7"}});
  const std::string first = store_.submit(action_record());
  const std::string second = store_.submit(action_record());
  ASSERT_EQ(machine->assign_jobs(false).data.at(0).at("_id"), first);
  EXPECT_EQ(machine->assign_jobs(false).data, Json::array()) << "beyond its cap of 1";
  machine->record_exit(first, 0);

  op->drain_machine("instance-a", std::nullopt);
  EXPECT_EQ(machine->assign_jobs(false).data, Json::array());
  EXPECT_EQ(op->machine("instance-a")["mode"], "draining");
  op->undrain_machine("instance-a");
  ASSERT_EQ(machine->assign_jobs(false).data.at(0).at("_id"), second);
  const Json shown = op->machine("instance-a");
  EXPECT_EQ(shown["labels"], (Json{{"rack", "r7"}}));
  ASSERT_EQ(shown["actions"].size(), 1u);
  EXPECT_EQ(shown["actions"][0]["_id"], second);
  EXPECT_EQ(shown["history"].size(), 2u);
  // An agent stopping with its own drain shows its machine as draining.
  ASSERT_FALSE(machine->heartbeat("9.9.9", "gcp", "draining").has_error());
  EXPECT_EQ(op->machine("instance-a")["mode"], "draining");
  EXPECT_EQ(op->machine("instance-a")["drainedBy"], "agent");
  EXPECT_THROW(op->forget_machine("instance-a"), ValueError) << "alive";
  EXPECT_THROW(op->drain_machine("nobody", seconds(5)), KeyError);
}

}  // namespace
}  // namespace tavoren::server_testing
