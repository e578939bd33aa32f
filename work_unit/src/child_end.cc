// The record of how a work unit's child ended (see child_end.h).

#include "tavoren/child_end.h"

namespace tavoren {

bool ChildEnd::take() {
  MutexLock lock(mutex_);
  if (stage_ != Stage::open) return false;
  stage_ = Stage::taken;
  return true;
}

void ChildEnd::settle(bool finished) {
  MutexLock lock(mutex_);
  if (stage_ == Stage::finished) return;  // finished is for good
  stage_ = finished ? Stage::finished : Stage::open;
}

ChildEnd::Stage ChildEnd::stage() const {
  MutexLock lock(mutex_);
  return stage_;
}

void ChildEnd::launched() {
  MutexLock lock(mutex_);
  gone_ = false;
  ever_launched_ = true;
}

bool ChildEnd::ever_launched() const {
  MutexLock lock(mutex_);
  return ever_launched_;
}

void ChildEnd::mark_gone() {
  MutexLock lock(mutex_);
  gone_ = true;
}

bool ChildEnd::gone() const {
  MutexLock lock(mutex_);
  return gone_;
}

bool ChildEnd::claim_log_line() {
  MutexLock lock(mutex_);
  if (logged_) return false;
  logged_ = true;
  return true;
}

void ChildEnd::mark_reported() {
  MutexLock lock(mutex_);
  reported_ = true;
}

bool ChildEnd::reported() const {
  MutexLock lock(mutex_);
  return reported_;
}

void ChildEnd::set_watched(bool watched) {
  MutexLock lock(mutex_);
  watched_ = watched;
}

bool ChildEnd::watched() const {
  MutexLock lock(mutex_);
  return watched_;
}

void ChildEnd::mark_detached() {
  MutexLock lock(mutex_);
  detached_ = true;
}

bool ChildEnd::detached() const {
  MutexLock lock(mutex_);
  return detached_;
}

void ChildEnd::give_up_delivery() {
  {
    MutexLock lock(mutex_);
    given_up_ = true;
  }
  given_up_changed_.notify_all();
}

bool ChildEnd::wait_to_retry(std::chrono::steady_clock::time_point until) {
  MutexLock lock(mutex_);
  // The wait releases mutex_ and takes it again before returning (see
  // mutex.h); given_up_ is read only with it held.
  while (!given_up_) {
    if (given_up_changed_.wait_until(mutex_, until) == std::cv_status::timeout) break;
  }
  return !given_up_;
}

}  // namespace tavoren
