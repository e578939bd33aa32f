// How a work unit's child ended, and who records that end.
//
// A unit's child ends once, but several threads may see it end: the unit's
// log thread (watching the child's pidfd), is_running, stop, detach and the
// destructor. ChildEnd lets exactly one of them record the end at a time
// and keeps what the unit learnt about it:
//   - the stage of the recording: open until a thread takes it (take());
//     the taker settles it as finished (the child reaped, its log flushed,
//     on_exit told) or open again (it could not see the child end);
//     finished stays finished;
//   - whether a child was ever launched;
//   - whether the child is gone (reaped), which decides whether the log's
//     incomplete last character may still be completed by it;
//   - whether the line saying how it ended was logged (once per unit);
//   - whether on_exit was told;
//   - whether the log thread watches the child's pidfd;
//   - whether the unit let the child go for the next agent (detach);
//   - whether the destructor gave up an end still being delivered, which
//     wakes a delivery waiting to try again.
//
// Ownership: a plain value held by its unit; it owns no thread, process or
// descriptor.
// Threads: every member may be called from any thread. One lock guards all
// of it; it is a leaf: no member calls out while holding it, so it may be
// taken with any of the unit's locks held.
// Failures: nothing throws.
#pragma once

#include <chrono>
#include <condition_variable>

#include "tavoren/common/mutex.h"

namespace tavoren {

class ChildEnd {
 public:
  enum class Stage { open, taken, finished };

  // Claims the recording of the end: true for exactly one caller while it
  // is open, who must then settle() it. False while another thread holds
  // it, and once it is finished.
  bool take() EXCLUDES(mutex_);
  // Settles a taken end: finished, or open again for another thread.
  void settle(bool finished) EXCLUDES(mutex_);
  Stage stage() const EXCLUDES(mutex_);

  // A child was launched: it is not gone (the rest stays as it is).
  void launched() EXCLUDES(mutex_);
  // Whether a child was ever launched.
  bool ever_launched() const EXCLUDES(mutex_);
  // The child is known to have ended and been reaped.
  void mark_gone() EXCLUDES(mutex_);
  bool gone() const EXCLUDES(mutex_);

  // True for the first caller only, who logs how the child ended.
  bool claim_log_line() EXCLUDES(mutex_);

  // on_exit was told (or failed for good).
  void mark_reported() EXCLUDES(mutex_);
  bool reported() const EXCLUDES(mutex_);

  // Whether the log thread watches the child's pidfd.
  void set_watched(bool watched) EXCLUDES(mutex_);
  bool watched() const EXCLUDES(mutex_);

  // The unit let the child go for the next agent: nobody ends it.
  void mark_detached() EXCLUDES(mutex_);
  bool detached() const EXCLUDES(mutex_);

  // Gives up an end still being delivered: a wait_to_retry in progress
  // returns at once, and every later one too.
  void give_up_delivery() EXCLUDES(mutex_);
  // Waits until `until` unless the delivery is given up meanwhile; false
  // when it was given up.
  bool wait_to_retry(std::chrono::steady_clock::time_point until) EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::condition_variable_any given_up_changed_;
  Stage stage_ GUARDED_BY(mutex_) = Stage::open;
  bool gone_ GUARDED_BY(mutex_) = false;
  bool ever_launched_ GUARDED_BY(mutex_) = false;
  bool logged_ GUARDED_BY(mutex_) = false;
  bool reported_ GUARDED_BY(mutex_) = false;
  bool watched_ GUARDED_BY(mutex_) = false;
  bool detached_ GUARDED_BY(mutex_) = false;
  bool given_up_ GUARDED_BY(mutex_) = false;
};

}  // namespace tavoren
