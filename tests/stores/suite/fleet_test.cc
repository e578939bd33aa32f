// The machines a store knows: limits on what a poll hands out, liveness on
// the database's clock, lost machines' actions ended and queued again as
// their next attempt, writes about stale attempts refused, drain, and the
// cause of every end. Time moves by opening the same store again with a
// clock offset.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "local_backend_testing.h"
#include "tavoren/common/errors.h"

namespace tavoren::local_backend_testing {
namespace {

using backend::ActionEnd;
using backend::MachineChange;
using backend::Result;
using std::chrono::seconds;

class FleetTest : public BackendTest {
 protected:
  // The store as seen `later` from now.
  std::unique_ptr<StoreUnderTest> at(seconds later, LocalBackendOptions o) {
    o.fleet.clock_offset = later;
    return std::make_unique<StoreUnderTest>(std::move(o));
  }
  std::unique_ptr<StoreUnderTest> at(seconds later) { return at(later, options()); }

  static Json piece(const std::string& id, const std::string& content, std::int64_t attempt) {
    return Json{{"action_record_id", id}, {"log_content", content}, {"attempt", attempt}};
  }

  static const Json& machine_of(const Json& machines, const std::string& id) {
    for (const Json& machine : machines) {
      if (machine["instanceId"] == id) return machine;
    }
    static const Json none;
    ADD_FAILURE() << "no machine " << id << " in " << machines.dump();
    return none;
  }

  static std::vector<std::string> operations(const Json& shown) {
    std::vector<std::string> names;
    for (const Json& event : shown["history"]) names.push_back(event["operation"]);
    return names;
  }
};

TEST_F(FleetTest, APollIsAContactAndTheMachinesLimitsDecideWhatItGets) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  MachineChange change;
  change.gpus = 0;
  change.max_actions = 2;
  change.labels = {{"zone", "eu-1"}};
  store.set_machine("cpu-box", change, true);
  EXPECT_THROW(store.set_machine("unknown", change, false), KeyError);
  EXPECT_THROW(store.set_machine("cpu-box", MachineChange{.gpus = -2}, false), ValueError);
  EXPECT_THROW(store.set_machine("cpu-box", MachineChange{.labels = {{"a=b", "c"}}}, false),
               ValueError);

  const std::string gpu_action = store.submit(action_record("model_train", true));
  const std::string first = store.submit(action_record());
  const std::string second = store.submit(action_record());
  const std::string third = store.submit(action_record());
  auto agent = store.instance_view("cpu-box");
  // The agent claims a GPU; the operator says it has none.
  EXPECT_EQ(agent->assign_jobs(true).data.at(0).at("_id"), first);
  EXPECT_EQ(agent->assign_jobs(true).data.at(0).at("_id"), second);
  EXPECT_EQ(agent->assign_jobs(true).data, Json::array()) << "held more than its cap";

  const Json machine = machine_of(store.machines(), "cpu-box");
  EXPECT_EQ(machine["liveness"], "alive");
  EXPECT_EQ(machine["mode"], "active");
  EXPECT_EQ(machine["actionsHeld"], 2);
  EXPECT_EQ(machine["maxActions"], 2);
  EXPECT_EQ(machine["gpus"], 0);
  EXPECT_EQ(machine["labels"], (Json{{"zone", "eu-1"}}));
  EXPECT_TRUE(machine["lastContactAt"].is_string());

  // An end makes room; the GPU action still waits for a GPU machine.
  agent->record_exit(first, 0);
  EXPECT_EQ(agent->assign_jobs(true).data.at(0).at("_id"), third);
  store.set_machine("cpu-box", MachineChange{.gpus = backend::kGpusAsReported, .max_actions = 3},
                    false);
  EXPECT_EQ(agent->assign_jobs(false).data, Json::array());
  EXPECT_EQ(agent->assign_jobs(true).data.at(0).at("_id"), gpu_action);

  // A machine first seen at its poll gets the default cap and trusts its
  // agent.
  store.submit(action_record());
  store.instance_view("new-box")->assign_jobs(false);
  const Json made = machine_of(store.machines(), "new-box");
  EXPECT_EQ(made["maxActions"], 8);
  EXPECT_EQ(made["gpus"], nullptr);
  EXPECT_EQ(made["actionsHeld"], 1);
}

// A poll far from the machine's limit does not count the actions it holds;
// it relies on a bound that only hand-outs raise. Ends and changes of the
// limit between polls must still be honoured at the next poll.
TEST_F(FleetTest, ALimitHoldsWhateverEndsAndLimitChangesCameBetweenPolls) {
  LocalBackendOptions o = options();
  o.assign_batch = 3;
  StoreUnderTest now(o);
  backend::Store& store = now.store();
  store.set_machine("box", MachineChange{.max_actions = 5}, true);
  for (int i = 0; i < 14; ++i) store.submit(action_record());
  auto agent = store.instance_view("box");
  std::vector<std::string> held;
  auto poll = [&] {
    const Json taken = agent->assign_jobs(false).data;
    for (const Json& action : taken) held.push_back(action["_id"]);
    return taken.size();
  };
  auto end_first = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) agent->record_exit(held[i], 0);
    held.erase(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(count));
  };
  auto held_as_shown = [&] { return machine_of(store.machines(), "box")["actionsHeld"]; };

  EXPECT_EQ(poll(), 3u);
  EXPECT_EQ(poll(), 2u) << "the batch is cut to what the limit leaves";
  EXPECT_EQ(poll(), 0u);
  end_first(2);
  EXPECT_EQ(poll(), 2u) << "ends make room at the next poll";
  EXPECT_EQ(held_as_shown(), 5);

  store.set_machine("box", MachineChange{.max_actions = 20}, false);
  EXPECT_EQ(poll(), 3u);
  EXPECT_EQ(poll(), 3u);
  EXPECT_EQ(held_as_shown(), 11);

  store.set_machine("box", MachineChange{.max_actions = 4}, false);
  EXPECT_EQ(poll(), 0u) << "a lowered limit holds at once";
  end_first(8);
  EXPECT_EQ(poll(), 1u);
  EXPECT_EQ(poll(), 0u);
  EXPECT_EQ(held_as_shown(), 4);
}

TEST_F(FleetTest, PollsCloserThanTheIntervalGetNothingAndLivenessFollowsTheClock) {
  LocalBackendOptions o = options();
  o.fleet.min_poll_interval = seconds(5);
  StoreUnderTest now(o);
  const std::string first = now.store().submit(action_record());
  const std::string second = now.store().submit(action_record());
  auto agent = now.store().instance_view("box");
  EXPECT_EQ(agent->assign_jobs(false).data.at(0).at("_id"), first);
  const Result again = agent->assign_jobs(false);
  EXPECT_EQ(again.data, Json::array());
  EXPECT_EQ(again.message, backend::poll_message::kTooSoon);
  EXPECT_EQ(
      at(seconds(6), o)->store().instance_view("box")->assign_jobs(false).data.at(0).at("_id"),
      second);

  // Seen from later on (the last poll was 6 s ahead), without a contact in
  // between.
  EXPECT_EQ(machine_of(at(seconds(100))->store().machines(), "box")["liveness"], "unresponsive");
  auto much_later = at(seconds(310));
  EXPECT_EQ(machine_of(much_later->store().machines(), "box")["liveness"], "lost");
  much_later->store().record_contact("box", backend::Contact{"1.2.3", "aws", "10.0.0.7"});
  const Json back = machine_of(much_later->store().machines(), "box");
  EXPECT_EQ(back["liveness"], "alive");
  EXPECT_EQ(back["agentVersion"], "1.2.3");
  EXPECT_EQ(back["provider"], "aws");
  EXPECT_EQ(back["address"], "10.0.0.7");
}

TEST_F(FleetTest, ALostMachinesActionEndsAndRunsAgainAsItsNextAttemptWithALogOfItsOwn) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  const std::string id = store.submit(action_record());
  auto first_holder = store.instance_view("box-a");
  const Json assigned = first_holder->assign_jobs(false).data.at(0);
  EXPECT_EQ(assigned["attempt"], 1);
  ASSERT_FALSE(first_holder->update_action_docker_logs(piece(id, "attempt one\n", 1)).has_error());

  // Nothing is lost before its time.
  EXPECT_EQ(store.sweep_machines().lost, 0);
  auto later = at(seconds(301));
  backend::Store& swept = later->store();
  const backend::SweepOutcome outcome = swept.sweep_machines();
  EXPECT_EQ(outcome.lost, 1);
  EXPECT_EQ(outcome.requeued, 1);
  EXPECT_EQ(outcome.ended, 0);
  EXPECT_EQ(swept.sweep_machines().lost, 0) << "a machine is found lost once";
  Json shown = swept.show(id);
  EXPECT_EQ(shown["state"], "queued");
  EXPECT_EQ(shown["endCause"], nullptr);
  const Json& ended = shown["history"][shown["history"].size() - 2];
  EXPECT_EQ(ended["operation"], "exit");
  EXPECT_EQ(ended["arguments"]["cause"], "machine_lost");
  EXPECT_EQ(ended["arguments"]["exit_status"], nullptr);
  EXPECT_EQ(ended["arguments"]["attempt"], 1);
  EXPECT_EQ(shown["history"].back()["operation"], "requeue");
  EXPECT_EQ(swept.attempt_log(id, 1).content, "attempt one\n") << "kept while queued";

  auto second_holder = swept.instance_view("box-b");
  const Json reassigned = second_holder->assign_jobs(false).data.at(0);
  EXPECT_EQ(reassigned["_id"], id);
  EXPECT_EQ(reassigned["attempt"], 2);
  ASSERT_FALSE(second_holder->update_action_docker_logs(piece(id, "attempt two\n", 2)).has_error());

  // The first holder comes back: every write about attempt 1 is refused
  // and changes nothing.
  auto returned = swept.instance_view("box-a");
  const std::size_t events = swept.show(id)["history"].size();
  const std::vector<Result> refused = {
      returned->update_action_docker_logs(piece(id, "stale\n", 1)),
      returned->update_action_status(Json{{"service_provider", "x"},
                                          {"action_record_id", id},
                                          {"status", "started"},
                                          {"action_duration", 0},
                                          {"attempt", 1}}),
      returned->update_action(Json{{"id", id}, {"status", "stale"}, {"attempt", 1}}),
      returned->update_step(Json{{"action_record_id", id},
                                 {"action_type", "data_split"},
                                 {"service", "s"},
                                 {"step_code", "c"},
                                 {"status", "OK"},
                                 {"description", "d"},
                                 {"attempt", 1}}),
      // Even the current holder may not name the old attempt.
      second_holder->update_action_docker_logs(piece(id, "stale\n", 1)),
  };
  for (const Result& result : refused) {
    EXPECT_TRUE(backend::is_not_current(result)) << result.error.value_or("accepted");
    EXPECT_NE(result.message.find(id), std::string::npos) << result.message;
  }
  EXPECT_THROW(returned->record_end(id, ActionEnd{0, "exited", 1}), backend::NotCurrentError);
  EXPECT_EQ(swept.show(id)["history"].size(), events);
  EXPECT_EQ(swept.held_attempt(id, "box-a"), 1);
  EXPECT_EQ(swept.held_attempt(id, "box-b"), 2);
  EXPECT_EQ(swept.held_attempt(id, "box-c"), std::nullopt);

  // Each attempt has its own log.
  EXPECT_EQ(swept.logs(id).content, "attempt two\n");
  const backend::LogChunk earlier = swept.attempt_log(id, 1);
  EXPECT_EQ(earlier.content, "attempt one\n");
  EXPECT_TRUE(earlier.finished);
  EXPECT_EQ(swept.attempt_log(id, 2).content, "attempt two\n");
  EXPECT_THROW(swept.attempt_log(id, 3), KeyError);

  second_holder->record_end(id, ActionEnd{0, "exited", 2});
  shown = swept.show(id);
  EXPECT_EQ(shown["state"], "ended");
  EXPECT_EQ(shown["endCause"], "exited");
  EXPECT_EQ(shown["exitStatus"], 0);
  const Json history = swept.machine("box-a")["history"];
  ASSERT_EQ(history.size(), 1u);
  EXPECT_EQ(history[0]["endCause"], "machine_lost");
}

// Many machines lost at once are swept in several transactions, every one
// of them and each of their actions once; a second sweep finds nothing.
TEST_F(FleetTest, OneSweepCoversManyMachinesLostAtOnce) {
  StoreUnderTest now(options());
  constexpr int kMachines = 23;
  for (int i = 0; i < kMachines; ++i) {
    now.store().submit(action_record());
    ASSERT_EQ(now.store().instance_view("box-" + std::to_string(i))->assign_jobs(false).data.size(),
              1u);
  }
  auto later = at(seconds(301));
  const backend::SweepOutcome swept = later->store().sweep_machines();
  EXPECT_EQ(swept.lost, kMachines);
  EXPECT_EQ(swept.requeued, kMachines);
  EXPECT_EQ(later->store().count_by_state()["queued"], kMachines);
  EXPECT_EQ(later->store().sweep_machines().lost, 0);
}

TEST_F(FleetTest, TheRetryBudgetBoundsHowOftenLostWorkRunsAgain) {
  StoreUnderTest now(options());
  Json once_only = action_record();
  once_only["retry"] = 0;
  const std::string never_again = now.store().submit(once_only);
  const std::string default_budget = now.store().submit(action_record());
  Json bad = action_record();
  bad["retry"] = -1;
  EXPECT_THROW(now.store().submit(bad), ValueError);

  now.store().set_machine("box-a", MachineChange{.max_actions = 2}, true);
  ASSERT_EQ(now.store().instance_view("box-a")->assign_jobs(false).data.size(), 1u);
  ASSERT_EQ(now.store().instance_view("box-a")->assign_jobs(false).data.size(), 1u);
  auto later = at(seconds(301));
  const backend::SweepOutcome first_loss = later->store().sweep_machines();
  EXPECT_EQ(first_loss.ended, 1);
  EXPECT_EQ(first_loss.requeued, 1);
  const Json gone = later->store().show(never_again);
  EXPECT_EQ(gone["state"], "ended");
  EXPECT_EQ(gone["endCause"], "machine_lost");
  EXPECT_EQ(gone["exitStatus"], nullptr);

  // The default budget (one requeue) is spent by the first loss.
  ASSERT_EQ(later->store().instance_view("box-b")->assign_jobs(false).data.at(0).at("_id"),
            default_budget);
  const backend::SweepOutcome second_loss = at(seconds(700))->store().sweep_machines();
  EXPECT_EQ(second_loss.ended, 1);
  EXPECT_EQ(second_loss.requeued, 0);
  EXPECT_EQ(now.store().show(default_budget)["endCause"], "machine_lost");
}

TEST_F(FleetTest, ADrainedMachineTakesNothingNewAndItsActionsAreScaledDownAfterTheDeadline) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  const std::string running = store.submit(action_record());
  const std::string waiting = store.submit(action_record());
  auto agent = store.instance_view("box");
  ASSERT_EQ(agent->assign_jobs(false).data.at(0).at("_id"), running);
  EXPECT_THROW(store.drain_machine("unknown", std::nullopt), KeyError);
  store.drain_machine("box", seconds(10));
  const Result drained = agent->assign_jobs(false);
  EXPECT_EQ(drained.data, Json::array());
  EXPECT_EQ(drained.message, backend::poll_message::kDraining);
  EXPECT_EQ(machine_of(store.machines(), "box")["mode"], "draining");
  using Kind = std::pair<std::string, std::string>;
  EXPECT_EQ(store.count_machines(), (std::map<Kind, std::int64_t>{{{"alive", "draining"}, 1}}));

  EXPECT_EQ(store.sweep_machines().drained, 0) << "scaled down before the deadline";
  EXPECT_EQ(at(seconds(11))->store().sweep_machines().drained, 1);
  EXPECT_EQ(agent->get_own_downscaled_ids().data, Json::array({running}));
  agent->record_end(running, ActionEnd{137, "exited", 1});
  EXPECT_EQ(store.show(running)["endCause"], "drained");
  EXPECT_EQ(at(seconds(30))->store().sweep_machines().drained, 0) << "drained once";

  // The agent's own drain does not end the operator's.
  store.record_contact("box", backend::Contact{.draining = true});
  EXPECT_EQ(machine_of(store.machines(), "box")["drainedBy"], "operator");
  EXPECT_EQ(agent->assign_jobs(false).message, backend::poll_message::kDraining);
  store.undrain_machine("box");
  EXPECT_EQ(machine_of(store.machines(), "box")["drainedBy"], nullptr);
  EXPECT_EQ(agent->assign_jobs(false).data.at(0).at("_id"), waiting);
}

// An agent that stops with its own drain says so: its machine shows as
// draining until that agent polls again, which ends its own drain.
TEST_F(FleetTest, AnAgentsOwnDrainLastsUntilItPollsAgain) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  auto agent = store.instance_view("box");
  ASSERT_EQ(agent->assign_jobs(false).data, Json::array());
  store.record_contact("box", backend::Contact{.agent_version = "1.2", .draining = true});
  const Json machines = store.machines();
  const Json& shown = machine_of(machines, "box");
  EXPECT_EQ(shown["mode"], "draining");
  EXPECT_EQ(shown["drainedBy"], "agent");
  EXPECT_EQ(shown["agentVersion"], "1.2");
  store.record_contact("box", backend::Contact{});
  EXPECT_EQ(machine_of(store.machines(), "box")["mode"], "draining") << "a heartbeat keeps it";

  const std::string queued = store.submit(action_record());
  EXPECT_EQ(agent->assign_jobs(false).data.at(0).at("_id"), queued);
  EXPECT_EQ(machine_of(store.machines(), "box")["mode"], "active");
  EXPECT_EQ(machine_of(store.machines(), "box")["drainedBy"], nullptr);
}

// A machine whose cloud takes it back gets no more work, even when its
// agent (restarted) polls again; its ended actions run again elsewhere at
// once.
TEST_F(FleetTest, APreemptedMachineGetsNoMoreWorkAndItsActionsRunAgainAtOnce) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  auto box = store.instance_view("box");
  auto other = store.instance_view("other");
  const std::string id = store.submit(action_record());
  ASSERT_EQ(box->assign_jobs(false).data.size(), 1u);
  store.record_contact("box", backend::Contact{.preempting = true});
  EXPECT_EQ(machine_of(store.machines(), "box")["mode"], "preempting");
  box->record_end(id, ActionEnd{143, std::string(backend::end_cause::kPreempted), 1});
  store.submit(action_record());
  const Result polled = at(seconds(2))->store().instance_view("box")->assign_jobs(false);
  EXPECT_EQ(polled.data, Json::array());
  EXPECT_EQ(polled.message, backend::poll_message::kPreempting);
  EXPECT_EQ(machine_of(store.machines(), "box")["mode"], "preempting");
  // The preempted action is queued again as its next attempt, before any
  // sweep finds the machine lost.
  const Json taken = other->assign_jobs(false).data;
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0]["_id"], id);
  EXPECT_EQ(taken[0]["attempt"], 2);
}

TEST_F(FleetTest, EveryEndCarriesACauseFromTheClosedSet) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  const std::string oom = store.submit(action_record());
  const std::string scaled = store.submit(action_record());
  store.set_machine("box", MachineChange{.max_actions = 4}, true);
  auto agent = store.instance_view("box");
  ASSERT_EQ(agent->assign_jobs(false).data.size(), 1u);
  ASSERT_EQ(agent->assign_jobs(false).data.size(), 1u);
  EXPECT_THROW(agent->record_end(oom, ActionEnd{1, "machine_lost", {}}), ValueError)
      << "the server's own causes are not the agent's to send";
  EXPECT_THROW(agent->record_end(oom, ActionEnd{1, "tired", {}}), ValueError);
  agent->record_end(oom, ActionEnd{1, "cuda_oom", 1});
  store.scale_down(scaled);
  agent->record_end(scaled, ActionEnd{143, "exited", {}});
  EXPECT_EQ(store.show(oom)["endCause"], "cuda_oom");
  EXPECT_EQ(store.show(scaled)["endCause"], "scaled_down");
  const Json listed = store.list();
  EXPECT_EQ(listed[0]["endCause"], "cuda_oom");
  EXPECT_EQ(listed[1]["endCause"], "scaled_down");
  EXPECT_EQ(listed[1]["attempt"], 1);
  for (const std::string_view cause : backend::end_cause::all()) {
    EXPECT_EQ(backend::end_cause::is_agent_cause(cause),
              cause != "scaled_down" && cause != "machine_lost" && cause != "drained")
        << cause;
  }
}

TEST_F(FleetTest, OnlyALostMachineIsForgottenAndItsKeysGoWithIt) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  store.add_access_key(backend::AccessKeyRecord{"AKBOX", "sealed", "instance", "box", "", false});
  store.set_machine("box", MachineChange{}, true);
  store.record_contact("box", backend::Contact{});
  EXPECT_THROW(store.forget_machine("box"), ValueError);
  EXPECT_THROW(store.forget_machine("unknown"), KeyError);
  auto later = at(seconds(301));
  EXPECT_EQ(later->store().sweep_machines().lost, 1);
  using Kind = std::pair<std::string, std::string>;
  EXPECT_EQ(later->store().count_machines(),
            (std::map<Kind, std::int64_t>{{{"lost", "active"}, 1}}));
  later->store().forget_machine("box");
  EXPECT_EQ(store.machines(), Json::array());
  EXPECT_TRUE(store.find_access_key("AKBOX")->revoked);
}

// What a machine has: its latest inventory, and one compact sample per
// five minutes kept for a day.
TEST_F(FleetTest, AMachinesInventoryIsKeptWithADayOfSamplesOnePerFiveMinutes) {
  const auto report = [](double memory, const Json& inventory) {
    return Json{{"available_memory", memory},
                {"available_cpu", 50.0},
                {"available_gpu_memory", 100.0},
                {"gpu_utilisation", 10.0},
                {"inventory", inventory}};
  };
  const Json inventory = {
      {"gpus", Json::array({Json{{"index", 0},
                                 {"health", "healthy"},
                                 {"utilisation", 37},
                                 {"memoryUsedMiB", 1024},
                                 {"memoryFreeMiB", 80896}},
                            Json{{"index", 1}, {"health", "quarantined"}, {"reason", "Xid 79"}}})},
      {"driverVersion", "550.54.15"},
      {"host", {{"cpus", 64}}}};
  StoreUnderTest box(options("box"));
  box.store().set_machine("box", MachineChange{}, true);
  ASSERT_EQ(box.update_available_resources(report(70, inventory)).message, "recorded");
  EXPECT_EQ(machine_of(box.store().machines(), "box")["gpuHealth"],
            (Json{{"total", 2}, {"healthy", 1}}));
  Json shown = box.store().machine("box");
  EXPECT_EQ(shown["inventory"], inventory);
  ASSERT_EQ(shown["samples"].size(), 1u);
  EXPECT_EQ(shown["samples"][0]["memory"], 70);
  EXPECT_EQ(shown["samples"][0]["gpus"][1][1], "quarantined");
  // A report within five minutes replaces the latest, not the sample.
  ASSERT_FALSE(box.update_available_resources(report(60, inventory)).has_error_set());
  shown = box.store().machine("box");
  EXPECT_EQ(shown["samples"].size(), 1u);
  ASSERT_FALSE(at(seconds(301), options("box"))
                   ->update_available_resources(report(50, inventory))
                   .has_error_set());
  EXPECT_EQ(box.store().machine("box")["samples"].size(), 2u);
  // A day later the old samples are gone.
  ASSERT_FALSE(at(seconds(86400 + 302), options("box"))
                   ->update_available_resources(report(40, inventory))
                   .has_error_set());
  shown = box.store().machine("box");
  ASSERT_EQ(shown["samples"].size(), 1u);
  EXPECT_EQ(shown["samples"][0]["memory"], 40);

  // An inventory past its limits is refused whole.
  Json many = inventory;
  many["gpus"] = Json::array();
  for (int i = 0; i < 65; ++i) many["gpus"].push_back(Json{{"index", i}});
  const Result too_many = box.update_available_resources(report(30, many));
  EXPECT_EQ(too_many.kind, backend::refusal_kind::kValueError);
  Json huge = inventory;
  huge["host"]["notes"] = std::string(70 << 10, 'x');
  const Result too_large = box.update_available_resources(report(30, huge));
  EXPECT_EQ(too_large.kind, backend::refusal_kind::kTooLarge);
  EXPECT_EQ(box.store().machine("box")["inventory"], inventory);
  if (!served()) {  // a server refuses it as malformed before the store sees it
    EXPECT_EQ(box.update_available_resources(report(30, Json::array())).kind,
              backend::refusal_kind::kTypeError);
  }
}

// A GPU action goes only to a machine whose latest inventory has room for
// it on a healthy GPU: below 80,000 MiB on one GPU, from there on all of
// them together. A machine without an inventory is held to nothing.
TEST_F(FleetTest, AGpuActionGoesOnlyWhereAHealthyGpuHasRoomForIt) {
  const auto needing = [](const Json& mib) {
    Json record = action_record("data_split", true);
    record["actionDetails"]["expectedResources"] = {{"gpuMemory", mib}};
    return record;
  };
  const Json inventory = {
      {"gpus", Json::array({Json{{"index", 0}, {"health", "healthy"}, {"memoryFreeMiB", 20000}},
                            Json{{"index", 1}, {"health", "quarantined"}, {"memoryFreeMiB", 81000}},
                            Json{{"index", 2}, {"health", "healthy"}, {"memoryFreeMiB", 15000}}})}};
  StoreUnderTest box(options("box"));
  box.store().set_machine("box", MachineChange{}, true);
  ASSERT_FALSE(box.update_available_resources(Json{{"available_memory", 50},
                                                   {"available_cpu", 50},
                                                   {"available_gpu_memory", 113},
                                                   {"gpu_utilisation", 0},
                                                   {"inventory", inventory}})
                   .has_error_set());
  const std::string too_big = box.store().submit(needing(40000));
  const std::string as_text = box.store().submit(needing("30000"));
  const std::string spans = box.store().submit(needing(90000));
  const std::string fits = box.store().submit(needing(18000));
  const Json taken = box.assign_jobs(true).data;
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0]["_id"], fits) << "only one healthy GPU with 18,000 MiB free fits";
  EXPECT_EQ(at(seconds(2), options("box"))->assign_jobs(true).data, Json::array());

  // A machine that sent no inventory yet is held to nothing.
  StoreUnderTest other(options("other"));
  EXPECT_EQ(other.assign_jobs(true).data.at(0)["_id"], too_big);
  EXPECT_EQ(at(seconds(2), options("other"))->assign_jobs(true).data.at(0)["_id"], as_text);
  EXPECT_EQ(at(seconds(4), options("other"))->assign_jobs(true).data.at(0)["_id"], spans);
}

// The queue says why each action waits, from what the machines offer.
TEST_F(FleetTest, TheQueueSaysWhyEachActionWaits) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  Json gpu_action = action_record("data_split", true);
  gpu_action["actionDetails"]["expectedResources"] = {{"gpuMemory", 40 * 1024}};
  const std::string first = store.submit(gpu_action);
  const std::string second = store.submit(action_record());
  Json page = store.queue(10);
  EXPECT_EQ(page["total"], 2);
  ASSERT_EQ(page["actions"].size(), 2u);
  EXPECT_EQ(page["actions"][0]["_id"], first);
  EXPECT_EQ(page["actions"][0]["position"], 1);
  EXPECT_EQ(page["actions"][0]["gpuMemoryMiB"], 40 * 1024);
  EXPECT_EQ(page["actions"][0]["reason"], "no alive machine");

  // A machine with one healthy GPU that has 22 GB free, and room for one
  // action.
  StoreUnderTest box(options("box"));
  store.set_machine("box", MachineChange{std::nullopt, 1, {}}, true);
  store.record_contact("box", backend::Contact{});
  ASSERT_FALSE(box.update_available_resources(
                      Json{{"available_memory", 50},
                           {"available_cpu", 50},
                           {"available_gpu_memory", 22},
                           {"gpu_utilisation", 0},
                           {"inventory",
                            {{"gpus", Json::array({Json{{"index", 0},
                                                        {"health", "healthy"},
                                                        {"memoryFreeMiB", 22 * 1024}}})}}}})
                   .has_error_set());
  page = store.queue(10);
  EXPECT_EQ(page["actions"][0]["reason"],
            "needs 40 GB free on one GPU; the most free on an alive machine is 22 GB");
  EXPECT_EQ(page["actions"][1]["reason"], "behind 1 earlier action");
  EXPECT_EQ(store.queue(1)["actions"].size(), 1u);
  EXPECT_THROW(store.queue(0), ValueError);

  // Draining it leaves no machine to take work.
  store.drain_machine("box", std::nullopt);
  EXPECT_EQ(store.queue(10)["actions"][1]["reason"],
            "every alive machine is draining or being preempted");
}

// A page of the fleet: filtered, searched, sorted and paged by the store,
// with counts of every machine and each page machine's GPUs.
TEST_F(FleetTest, APageOfTheFleetIsFilteredSortedAndPagedWithItsMachinesGpus) {
  StoreUnderTest now(options());
  backend::Store& store = now.store();
  for (const char* id : {"m-03", "m-01", "m-02", "gpu-box", "Other_1"}) {
    store.set_machine(id, MachineChange{}, true);
  }
  store.set_machine("gpu-box", MachineChange{std::nullopt, std::nullopt, {{"zone", "Eu-1"}}},
                    false);
  for (const char* id : {"m-01", "m-02", "gpu-box", "Other_1"}) {
    store.record_contact(id, backend::Contact{});
  }
  store.drain_machine("m-02", std::nullopt);
  store.set_machine("Other_1", MachineChange{0, std::nullopt, {}}, false);
  StoreUnderTest box(options("gpu-box"));
  ASSERT_FALSE(
      box.update_available_resources(Json{{"available_memory", 50},
                                          {"available_cpu", 50},
                                          {"available_gpu_memory", 22},
                                          {"gpu_utilisation", 0},
                                          {"inventory",
                                           {{"gpus", Json::array({Json{{"index", 0},
                                                                       {"uuid", "GPU-1"},
                                                                       {"health", "quarantined"},
                                                                       {"reason", "Xid 79"},
                                                                       {"memoryFreeMiB", 0},
                                                                       {"actionId", nullptr}}})}}}})
          .has_error_set());
  // m-01 holds a live action.
  store.submit(action_record());
  StoreUnderTest m1(options("m-01"));
  ASSERT_EQ(m1.assign_jobs(false).data.size(), 1u);

  backend::FleetQuery all;
  Json page = store.fleet_page(all);
  EXPECT_EQ(page["total"], 5);
  EXPECT_EQ(page["counts"]["liveness"], (Json{{"alive", 5}})) << page.dump();
  EXPECT_EQ(page["counts"]["mode"], (Json{{"active", 4}, {"draining", 1}}));
  std::vector<std::string> ids;
  for (const Json& machine : page["machines"]) ids.push_back(machine["instanceId"]);
  EXPECT_EQ(ids, (std::vector<std::string>{"Other_1", "gpu-box", "m-01", "m-02", "m-03"}));
  const Json& gpu_box = page["machines"][1];
  ASSERT_EQ(gpu_box["gpus"].size(), 1u);
  EXPECT_EQ(gpu_box["gpus"][0]["health"], "quarantined");
  EXPECT_EQ(gpu_box["gpus"][0]["reason"], "Xid 79");
  EXPECT_FALSE(gpu_box["gpus"][0].contains("uuid")) << "only what a page shows";
  EXPECT_EQ(gpu_box["gpuHealth"], (Json{{"total", 1}, {"healthy", 0}}));
  EXPECT_EQ(page["machines"][0]["gpus"], Json::array());
  EXPECT_EQ(page["machines"][0]["gpusSet"], 0) << "the operator's count, beside the list";
  EXPECT_EQ(gpu_box["gpusSet"], nullptr);

  auto ids_of = [&](const backend::FleetQuery& query) {
    const Json found = store.fleet_page(query);
    std::vector<std::string> ids;
    for (const Json& machine : found["machines"]) ids.push_back(machine["instanceId"]);
    return ids;
  };
  // Liveness on the database's clock: an hour on, every machine is lost.
  backend::FleetQuery lost;
  lost.liveness = "lost";
  EXPECT_TRUE(ids_of(lost).empty());
  EXPECT_EQ(store.fleet_page(lost)["total"], 0);
  EXPECT_EQ(store.fleet_page(lost)["counts"]["liveness"]["alive"], 5) << "counts ignore filters";
  EXPECT_EQ(at(seconds(3600))->store().fleet_page(lost)["total"], 5);
  backend::FleetQuery draining;
  draining.mode = "draining";
  EXPECT_EQ(ids_of(draining), std::vector<std::string>{"m-02"});
  // Search: part of an identifier in any case, a label as key=value;
  // LIKE's own wildcards are plain characters.
  backend::FleetQuery search;
  search.search = "M-0";
  EXPECT_EQ(ids_of(search), (std::vector<std::string>{"m-01", "m-02", "m-03"}));
  search.search = "zone=eu";
  EXPECT_EQ(ids_of(search), std::vector<std::string>{"gpu-box"});
  search.search = "r_";
  EXPECT_EQ(ids_of(search), std::vector<std::string>{"Other_1"});
  search.search = "%";
  EXPECT_TRUE(ids_of(search).empty());
  // Paging, and sorting in either direction.
  backend::FleetQuery paged;
  paged.limit = 2;
  paged.offset = 3;
  EXPECT_EQ(ids_of(paged), (std::vector<std::string>{"m-02", "m-03"}));
  EXPECT_EQ(store.fleet_page(paged)["total"], 5);
  paged.descending = true;
  paged.offset = 0;
  EXPECT_EQ(ids_of(paged), (std::vector<std::string>{"m-03", "m-02"}));
  backend::FleetQuery by_contact;
  by_contact.sort = "lastContact";
  by_contact.descending = true;
  EXPECT_EQ(ids_of(by_contact).back(), "m-03") << "never in contact";
  backend::FleetQuery by_load;
  by_load.sort = "actionsHeld";
  by_load.descending = true;
  EXPECT_EQ(ids_of(by_load).front(), "m-01");
  EXPECT_EQ(store.fleet_page(by_load)["machines"][0]["actionsHeld"], 1);
  // Bad queries are refused.
  for (const auto& change : std::vector<std::function<void(backend::FleetQuery&)>>{
           [](backend::FleetQuery& q) { q.liveness = "dead"; },
           [](backend::FleetQuery& q) { q.mode = "sleeping"; },
           [](backend::FleetQuery& q) { q.sort = "gpus; DROP TABLE machines"; },
           [](backend::FleetQuery& q) { q.offset = -1; },
           [](backend::FleetQuery& q) { q.limit = 0; },
           [](backend::FleetQuery& q) { q.limit = 501; }}) {
    backend::FleetQuery bad;
    change(bad);
    EXPECT_THROW(store.fleet_page(bad), ValueError);
  }
}

}  // namespace
}  // namespace tavoren::local_backend_testing
