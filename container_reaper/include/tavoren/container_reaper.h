// The container reaper: stops the containers of actions that the backend
// has scaled down.
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

}  // namespace tavoren
