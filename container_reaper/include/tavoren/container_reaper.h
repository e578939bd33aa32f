// The container reaper: stops the containers of actions that the backend
// has scaled down; and EndedContainers, which removes this agent's ended
// containers once nothing needs them any more (see below).
//
//   ContainerReaper reaper(scaling);
//   reaper.auto_scaledown_actions();   // one pass; the caller repeats it
//
// A pass asks the backend for the scaled-down action identifiers, lists the
// engine's running containers, and stops each container whose action is
// among them. A container's action is read by engine::action_of_container
// (its action label, else the first command argument as long as an action
// identifier); a container with neither belongs to no action and is never
// stopped.
//
// The identifiers are the data of the backend's answer:
//   - an array: its texts are the identifiers;
//   - an object: its keys are;
//   - a single text: it is the one identifier (no substring matching);
//   - null, or an empty array, object or text, 0 or false: no identifiers,
//     the pass ends after listing;
//   - any other value (a number, true): not a collection; the first
//     membership test fails with TypeError, which ends the pass.
//
// Ownership: the reaper owns its engine client; the Scaling client is
// borrowed and must outlive the reaper. No state is kept between passes.
// Threads: a pass runs on the caller's thread and blocks on each backend
// and engine request. Passes of one reaper may run on several threads at
// once (nothing is shared but the thread-safe clients).
// Failures: see auto_scaledown_actions().
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tavoren/backend.h"
#include "tavoren/engine.h"

namespace tavoren {

class ContainerReaper {
 public:
  // Builds the engine client from `engine_options` (by default from the
  // environment). Throws ValueError when the engine's address is malformed;
  // the engine itself is not contacted.
  explicit ContainerReaper(backend::Scaling& scaling, engine::ClientOptions engine_options = {});
  ContainerReaper(const ContainerReaper&) = delete;
  ContainerReaper& operator=(const ContainerReaper&) = delete;

  // One reaping pass. Never throws:
  //   - a backend answer with any error set, even an empty text, is logged
  //     as "Error getting downscaled ids: <error>" and ends the pass before
  //     the engine is asked anything;
  //   - a stop that the engine refuses (engine::ApiError) is logged as
  //     "Failed to stop container <id>: <error>" and the pass goes on;
  //   - each stopped container is logged as "Container <id> stopped.";
  //   - every other failure (listing, inspecting, a record without "Args",
  //     a transport failure while stopping) ends the pass where it happens
  //     and is logged as "Error in auto_scaledown_actions: <what>".
  void auto_scaledown_actions();

  engine::Client& docker_client() { return docker_client_; }

 private:
  engine::Client docker_client_;
  backend::Scaling& scaling_;
};

// Removal of ended containers: a container the agent started stays in the
// engine after its process ends (its log and exit status are read from
// there after a restart). Once its action no longer needs it, it is kept
// for `keep` after it ended (for an operator to look at), then removed
// through the engine's API with its anonymous volumes.
//
//   EndedContainers ended({.instance_id = "gpu-01", .keep = 10min});
//   ended.remove_ended(needed);   // one pass; the caller repeats it
//
// A pass lists the containers labelled with this instance
// (engine::kInstanceLabel) that do not run (exited, dead, or created and
// never started), and for each asks `needed` about its action (its
// engine::kActionIdLabel); only then, for one not needed, is its record
// read: it is removed once `keep` has passed since it ended (the engine's
// "State"."FinishedAt"; its "Created" for one that never ran). `needed` is
// asked after the listing, so an action that starts meanwhile is seen as
// needed. It must answer true for every action whose end or log is not
// recorded yet (running, ended, or kept for the next agent): such a
// container is never removed. A container without an action label, or one
// that runs, is never removed. Ended containers are found again at every
// pass, so those that ended before an agent restart go after the same
// delay.
//
// Ownership: owns its engine client; `needed` is called during the pass
// only, on the caller's thread.
// Threads: one pass at a time (the passes of one object are serialised).
// Time limits: each engine request has the client's (engine::ClientOptions).
// Cost: a pass lists the instance's ended containers once; each is inspected
// when first found and again when due, right before its removal, not at
// every pass while it is kept.
// Failures: a pass never throws. A listing the engine does not answer is
// logged once (as a warning) until a pass succeeds again; a removal that
// fails is logged once per container (as a warning) and tried again at
// later passes; a container gone already counts as removed.
struct EndedContainerOptions {
  // This agent's instance: only containers labelled with it are removed.
  std::string instance_id;
  // How long an ended container is kept after its end; 0: removed at the
  // first pass that finds it no longer needed.
  std::chrono::seconds keep{600};
  // The time now (tests); empty: the system clock.
  std::function<std::chrono::system_clock::time_point()> now;
};

class EndedContainers {
 public:
  // Throws ValueError when the engine's address is malformed or
  // instance_id is empty.
  explicit EndedContainers(EndedContainerOptions options,
                           engine::ClientOptions engine_options = {});
  EndedContainers(const EndedContainers&) = delete;
  EndedContainers& operator=(const EndedContainers&) = delete;

  // One pass; the identifiers of the containers it removed. `needed`:
  // whether an action still needs its container (see above).
  std::vector<std::string> remove_ended(
      const std::function<bool(const std::string& action_id)>& needed);

 private:
  // Removes `container_id` when it has ended `keep` ago; true when removed.
  bool remove_when_due(const std::string& container_id, const std::string& action_id);

  engine::Client client_;
  EndedContainerOptions options_;
  std::mutex pass_mutex_;
  // Containers whose failed removal was logged (one line each).
  std::set<std::string> failures_logged_;
  // The end of each ended container found, read once from the engine: a
  // container that stays ended keeps its end, so a pass asks the engine
  // about it again only once it is due. Forgotten when a listing no longer
  // shows it (gone, or running again).
  std::map<std::string, std::chrono::system_clock::time_point> ends_;
  // Whether the engine's failure to list was logged since the last success.
  bool listing_failure_logged_ = false;
};

}  // namespace tavoren
