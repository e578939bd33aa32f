#include "event_hub.h"

#include <set>
#include <utility>

#include "tavoren/common/errors.h"
#include "tavoren/common/logging.h"

namespace tavoren::web {

using Clock = std::chrono::steady_clock;

namespace {

// Bounds one stream's share of one look at an action's log.
constexpr int kLogPiecesPerLook = 4;

std::string counts_token(backend::Store& store) {
  std::string token;
  for (const auto& [state, count] : store.count_by_state()) {
    token += state + "=" + std::to_string(count) + ";";
  }
  for (const auto& [kind, count] : store.count_machines()) {
    token += kind.first + "/" + kind.second + "=" + std::to_string(count) + ";";
  }
  return token;
}

}  // namespace

std::string event_text(std::string_view name, const Json& data, std::string_view id) {
  std::string text;
  if (!id.empty()) text += "id: " + std::string(id) + "\n";
  text += "event: " + std::string(name) + "\ndata: ";
  text += data.dump(-1, ' ', false, Json::error_handler_t::replace);
  text += "\n\n";
  return text;
}

EventHub::EventHub(backend::Store& store, const WebOptions& options)
    : store_(store), options_(options), last_keep_alive_(Clock::now()) {
  thread_ = std::thread([this] { run(); });
}

EventHub::~EventHub() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
  for (const auto& follower : followers_) follower->stream->close();
}

std::shared_ptr<http_server::BodyStream> EventHub::open(const std::string& topic,
                                                        std::int64_t log_offset) {
  auto follower = std::make_shared<Follower>();
  follower->stream = std::make_shared<http_server::BodyStream>();
  follower->topic = topic;
  follower->log_offset = log_offset;
  follower->stream->send("retry: 2000\n\n");
  {
    std::scoped_lock lock(mutex_);
    std::erase_if(followers_, [](const auto& f) { return f->stream->closed(); });
    if (followers_.size() >= options_.max_streams) return nullptr;
    followers_.push_back(follower);
    fresh_ = true;
  }
  wake_.notify_all();
  return follower->stream;
}

std::size_t EventHub::open_streams() const {
  std::scoped_lock lock(mutex_);
  std::size_t open = 0;
  for (const auto& follower : followers_) open += follower->stream->closed() ? 0 : 1;
  return open;
}

void EventHub::run() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    lock.unlock();
    look(Clock::now());
    lock.lock();
    wake_.wait_for(lock, options_.log_period, [this] { return stopping_ || fresh_; });
  }
}

EventHub::Look EventHub::look_at(const std::string& topic) {
  const auto bucket = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count() /
                                     std::max<std::int64_t>(1, options_.refresh.count()));
  try {
    if (topic == "fleet" || topic == "queue") return {counts_token(store_) + bucket};
    if (topic.starts_with("machine:")) {
      Json machine = store_.machine(topic.substr(8));
      machine.erase("lastContactAt");  // the refresh shows it
      return {machine.dump(-1, ' ', false, Json::error_handler_t::replace) + bucket};
    }
    const Json shown = store_.show(topic.substr(7));
    const std::int64_t attempt = shown.value("attempt", std::int64_t{0});
    return {shown.value("state", std::string()) + "/" + std::to_string(attempt) + "/" +
                std::to_string(shown.value("history", Json::array()).size()),
            attempt};
  } catch (const KeyError&) {
    return {"gone"};
  }
}

void EventHub::send_log(Follower& follower, const std::string& id, std::int64_t attempt,
                        LogReads& read) {
  if (follower.attempt != attempt) {
    // A stream's first attempt starts where the page's log ends; the log of
    // a later attempt starts again from its beginning.
    if (follower.attempt != -1) follower.log_offset = 0;
    follower.attempt = attempt;
  }
  for (int piece = 0; piece < kLogPiecesPerLook; ++piece) {
    auto known = read.find({id, follower.log_offset});
    if (known == read.end()) {
      known = read.emplace(std::make_pair(id, follower.log_offset),
                           store_.logs(id, follower.log_offset))
                  .first;
    }
    const backend::LogChunk& chunk = known->second;
    if (chunk.content.empty()) return;
    const Json data = {
        {"attempt", attempt}, {"offset", follower.log_offset}, {"content", chunk.content}};
    if (!follower.stream->send(event_text("log", data, std::to_string(chunk.next_offset)))) return;
    follower.log_offset = chunk.next_offset;
    if (!chunk.more) return;
  }
}

void EventHub::look(Clock::time_point now) {
  std::vector<std::shared_ptr<Follower>> followers;
  bool fresh = false;
  {
    std::scoped_lock lock(mutex_);
    std::erase_if(followers_, [](const auto& f) { return f->stream->closed(); });
    followers = followers_;
    fresh = std::exchange(fresh_, false);
  }
  std::set<std::string> followed;
  std::set<std::string> due;
  for (const auto& follower : followers) {
    followed.insert(follower->topic);
    const auto known = topics_.find(follower->topic);
    if (known == topics_.end() || now >= known->second.next_look ||
        (fresh && follower->seen.empty())) {
      due.insert(follower->topic);
    }
  }
  std::erase_if(topics_, [&](const auto& entry) { return !followed.count(entry.first); });
  std::set<std::string> looked;
  for (const std::string& topic : due) {
    try {
      const Look seen = look_at(topic);
      const bool action = topic.starts_with("action:");
      topics_[topic] = Topic{seen.token, seen.attempt,
                             now + (action ? options_.log_period : options_.topic_period)};
      looked.insert(topic);
    } catch (const std::exception& e) {  // the next look tries again
      log::warning("Looking at %s for the pages failed: %s", topic, e.what());
    }
  }
  due = std::move(looked);
  LogReads log_reads;
  for (const auto& follower : followers) {
    if (!due.count(follower->topic)) continue;
    const Topic& topic = topics_[follower->topic];
    if (!follower->seen.empty() && follower->seen != topic.token) {
      follower->stream->send(event_text("changed", Json{{"topic", follower->topic}}));
    }
    follower->seen = topic.token;
    if (topic.attempt >= 0) {
      try {
        send_log(*follower, follower->topic.substr(7), topic.attempt, log_reads);
      } catch (const std::exception& e) {
        log::warning("Reading %s's log for the pages failed: %s", follower->topic, e.what());
      }
    }
  }
  if (now - last_keep_alive_ >= options_.keep_alive) {
    last_keep_alive_ = now;
    for (const auto& follower : followers) follower->stream->send(": keep-alive\n\n");
  }
}

}  // namespace tavoren::web
