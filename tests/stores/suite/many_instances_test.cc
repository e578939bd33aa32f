// The embedded backend serving many instances from one object: views per
// instance, who may touch an action, writes answered once, access keys,
// ports handed out per instance and the log limit.

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "local_backend_testing.h"
#include "tavoren/common/errors.h"

namespace tavoren::local_backend_testing {
namespace {

using backend::RecordedAnswer;
using backend::WriteOnce;

class ManyInstancesTest : public BackendTest {
 protected:
  ManyInstancesTest() : server_(server_options()) {}

  LocalBackendOptions server_options() const {
    LocalBackendOptions o = options();
    o.port_range = std::make_pair(31000, 31002);
    o.log_limit_bytes = 10;
    return o;
  }

  WriteOnce once(const std::string& key, const std::string& hash = "h1") const {
    return WriteOnce{"caller-1", key, hash, std::chrono::hours(1),
                     [](const backend::Result& result) { return result.data.dump(); }};
  }

  // Submits and assigns one action of `user` to `instance`.
  std::string assigned(const std::string& instance, const std::string& user = "user-1") {
    Json record = action_record();
    record["_idUser"] = user;
    const std::string id = server_.submit(record);
    const backend::Result result = server_.for_instance(instance)->assign_jobs(false);
    EXPECT_EQ(result.data.at(0).at("_id"), id);
    return id;
  }

  LocalScaling server_;
};

TEST_F(ManyInstancesTest, ViewsAssignToTheirOwnInstanceAndTellWhoMayTouchAnAction) {
  const std::string a = assigned("instance-a", "owner-a");
  const std::string b = assigned("instance-b", "owner-b");

  const auto access_a = server_.action_access(a);
  ASSERT_TRUE(access_a.has_value());
  EXPECT_EQ(access_a->assigned_to, "instance-a");
  EXPECT_EQ(access_a->owner, "owner-a");
  EXPECT_FALSE(access_a->ended);
  EXPECT_EQ(server_.action_access(b)->assigned_to, "instance-b");
  EXPECT_FALSE(server_.action_access("0123456789abcdef01234567").has_value());

  EXPECT_TRUE(server_.has_live_action_of("instance-a", "owner-a"));
  EXPECT_FALSE(server_.has_live_action_of("instance-a", "owner-b"));
  EXPECT_FALSE(server_.has_live_action_of("instance-b", "owner-a"));

  // Ending the action ends the owner's grant.
  server_.for_instance("instance-a")->record_exit(a, 0);
  EXPECT_TRUE(server_.action_access(a)->ended);
  EXPECT_FALSE(server_.has_live_action_of("instance-a", "owner-a"));
  EXPECT_EQ(server_.show(a)["history"].back()["arguments"]["instance_id"], "instance-a");
}

TEST_F(ManyInstancesTest, AViewOutlivesTheObjectItCameFrom) {
  std::unique_ptr<LocalScaling> view;
  {
    LocalScaling other(options());
    view = other.for_instance("instance-a");
  }
  server_.submit(action_record());
  EXPECT_EQ(view->assign_jobs(false).data.size(), 1u);
}

TEST_F(ManyInstancesTest, AnInstanceSeesOnlyItsOwnScaledDownActions) {
  const std::string a = assigned("instance-a");
  const std::string b = assigned("instance-b");
  const std::string queued = server_.submit(action_record());
  server_.scale_down(a);
  server_.scale_down(b);
  server_.scale_down(queued);
  EXPECT_EQ(server_.for_instance("instance-a")->get_own_downscaled_ids().data, Json::array({a}));
  EXPECT_EQ(server_.for_instance("instance-b")->get_own_downscaled_ids().data, Json::array({b}));
  EXPECT_EQ(server_.get_downscaled_ids().data.size(), 3u);
}

TEST_F(ManyInstancesTest, ARepeatedAssignmentAnswersTheFirstBatchAndAssignsNothingMore) {
  server_.submit(action_record());
  server_.submit(action_record());
  auto view = server_.for_instance("instance-a");
  const RecordedAnswer first = view->assign_jobs(false, once("k1"));
  EXPECT_FALSE(first.repeated);
  const RecordedAnswer again = view->assign_jobs(false, once("k1"));
  EXPECT_TRUE(again.repeated);
  EXPECT_EQ(again.answer, first.answer);
  EXPECT_EQ(again.request_hash, "h1");
  EXPECT_EQ(rows("actions WHERE state = 'assigned'"), 1);

  // Another key is another call.
  const RecordedAnswer second = view->assign_jobs(false, once("k2"));
  EXPECT_NE(second.answer, first.answer);
  EXPECT_EQ(rows("actions WHERE state = 'assigned'"), 2);
}

TEST_F(ManyInstancesTest, AnAssignmentWhoseAnswerCannotBeKeptAssignsNothing) {
  // The answer is kept in the same transaction as the assignment: when
  // keeping it fails, the assignment is undone too, and the retry with the
  // same key assigns the action then.
  const std::string id = server_.submit(action_record());
  auto view = server_.for_instance("instance-a");
  WriteOnce failing = once("k1");
  failing.render = [](const backend::Result&) -> std::string {
    throw std::runtime_error("crash after the assignment");
  };
  EXPECT_THROW(view->assign_jobs(false, failing), std::runtime_error);
  EXPECT_EQ(server_.show(id)["state"], "queued");
  EXPECT_FALSE(server_.recorded_answer("caller-1", "k1").has_value());

  const RecordedAnswer retried = view->assign_jobs(false, once("k1"));
  EXPECT_FALSE(retried.repeated);
  EXPECT_EQ(server_.show(id)["state"], "assigned");
}

TEST_F(ManyInstancesTest, AnyWriteIsKeptTogetherWithItsAnswerOrNotAtAll) {
  // The write joins the transaction of its answer and reads what it wrote.
  std::string id;
  const RecordedAnswer first = server_.write_once(once("submit-1"), [&] {
    id = server_.submit(action_record());
    return server_.show(id)["state"].get<std::string>();
  });
  EXPECT_FALSE(first.repeated);
  EXPECT_EQ(first.answer, "queued");
  int calls = 0;
  const RecordedAnswer again = server_.write_once(once("submit-1"), [&] {
    ++calls;
    return std::string("second");
  });
  EXPECT_TRUE(again.repeated);
  EXPECT_EQ(again.answer, "queued");
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(rows("actions"), 1);

  // A write that fails after writing leaves neither the write nor an answer.
  EXPECT_THROW(server_.write_once(once("submit-2"),
                                  [&]() -> std::string {
                                    server_.submit(action_record());
                                    server_.for_instance("instance-a")->assign_jobs(false);
                                    throw std::runtime_error("the server stops here");
                                  }),
               std::runtime_error);
  EXPECT_EQ(rows("actions"), 1);
  EXPECT_EQ(rows("actions WHERE state = 'assigned'"), 0);
  EXPECT_FALSE(server_.recorded_answer("caller-1", "submit-2").has_value());

  // A refusal inside the write undoes what the refused part wrote, and the
  // refusal is the answer kept.
  const RecordedAnswer refused = server_.write_once(once("submit-3"), [&]() -> std::string {
    try {
      server_.write_once(once("inner"), [&]() -> std::string {
        server_.submit(action_record());
        throw ValueError("refused after writing");
      });
    } catch (const ValueError& e) {
      return e.what();
    }
    return "not refused";
  });
  EXPECT_EQ(refused.answer, "refused after writing");
  EXPECT_EQ(rows("actions"), 1);
  EXPECT_FALSE(server_.recorded_answer("caller-1", "inner").has_value());
  EXPECT_TRUE(server_.recorded_answer("caller-1", "submit-3").has_value());
}

TEST_F(ManyInstancesTest, ARepeatedLogPieceIsStoredOnce) {
  const std::string id = assigned("instance-a");
  auto view = server_.for_instance("instance-a");
  const Json piece = Json{{"action_record_id", id}, {"log_content", "abc"}};
  EXPECT_FALSE(view->update_action_docker_logs(piece, once("p1")).repeated);
  EXPECT_TRUE(view->update_action_docker_logs(piece, once("p1")).repeated);
  EXPECT_FALSE(view->update_action_docker_logs(piece, once("p2")).repeated);
  EXPECT_EQ(server_.logs(id).content, "abcabc");
}

TEST_F(ManyInstancesTest, KeptAnswersAreScopedByCallerAndExpire) {
  const RecordedAnswer kept = server_.record_answer("caller-1", "k", "h", "first");
  EXPECT_FALSE(kept.repeated);
  EXPECT_EQ(server_.record_answer("caller-1", "k", "h", "second").answer, "first");
  EXPECT_FALSE(server_.recorded_answer("caller-2", "k").has_value());

  server_.record_answer("caller-1", "old", "h", "gone", std::chrono::seconds(0));
  EXPECT_FALSE(server_.recorded_answer("caller-1", "old").has_value());
  // An expired answer gives way to a new first answer.
  EXPECT_EQ(server_.record_answer("caller-1", "old", "h2", "new").answer, "new");
}

TEST_F(ManyInstancesTest, AccessKeysAreStoredListedAndRevoked) {
  server_.add_access_key({"TKONE", "sealed-1", "instance", "instance-a", "", false});
  server_.add_access_key({"TKTWO", "sealed-2", "operator", "", "", false});
  EXPECT_THROW(server_.add_access_key({"TKONE", "x", "operator", "", "", false}), ValueError);
  EXPECT_THROW(server_.add_access_key({"TK3", "x", "instance", "", "", false}), ValueError);
  EXPECT_THROW(server_.add_access_key({"TK4", "x", "operator", "i", "", false}), ValueError);
  EXPECT_THROW(server_.add_access_key({"TK5", "x", "root", "", "", false}), ValueError);

  const auto keys = server_.access_keys();
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[0].access_key, "TKONE");
  EXPECT_EQ(keys[0].role, "instance");
  EXPECT_EQ(keys[0].instance_id, "instance-a");
  EXPECT_FALSE(keys[0].created_at.empty());
  EXPECT_EQ(keys[1].instance_id, "");

  EXPECT_TRUE(server_.revoke_access_key("TKONE"));
  EXPECT_TRUE(server_.find_access_key("TKONE")->revoked);
  EXPECT_FALSE(server_.find_access_key("TKTWO")->revoked);
  EXPECT_FALSE(server_.revoke_access_key("TKNONE"));
  EXPECT_FALSE(server_.find_access_key("TKNONE").has_value());
}

TEST_F(ManyInstancesTest, PortsAreHeldPerInstanceUntilTheLiveActionsEnd) {
  const std::string a1 = assigned("instance-a");
  auto a = server_.for_instance("instance-a");
  auto b = server_.for_instance("instance-b");
  EXPECT_EQ(a->get_open_port(), 31000);
  EXPECT_EQ(a->get_open_port(), 31001);
  // Another host has ports of its own.
  EXPECT_EQ(b->get_open_port(), 31000);

  // A second action starts: the third port is held for both.
  const std::string a2 = assigned("instance-a");
  EXPECT_EQ(a->get_open_port(), 31002);
  EXPECT_THROW(a->get_open_port(), std::runtime_error);

  // The first action's ports come back once it ended; the third waits for
  // the second action too.
  a->record_exit(a1, 0);
  std::set<int> next = {a->get_open_port().get<int>(), a->get_open_port().get<int>()};
  EXPECT_EQ(next, (std::set<int>{31000, 31001}));
  EXPECT_THROW(a->get_open_port(), std::runtime_error);
  a->record_exit(a2, 0);
  const std::string a3 = assigned("instance-a");
  EXPECT_EQ(a->get_open_port(), 31000);
}

TEST_F(ManyInstancesTest, ALogBeyondItsLimitKeepsOneNoticeAndAcknowledgesTheRest) {
  const std::string id = assigned("instance-a");
  auto view = server_.for_instance("instance-a");
  auto piece = [&](const std::string& text) {
    return view->update_action_docker_logs(Json{{"action_record_id", id}, {"log_content", text}});
  };
  EXPECT_FALSE(piece("12345678").has_error_set());
  EXPECT_TRUE(server_.show(id)["logLimitReachedAt"].is_null());
  EXPECT_FALSE(piece("abcdef").has_error_set());
  EXPECT_FALSE(piece("more").has_error_set());
  EXPECT_EQ(server_.logs(id).content, "12345678" + backend::log_limit_notice(10));

  const Json shown = server_.show(id);
  EXPECT_EQ(shown["logLimit"], 10);
  EXPECT_TRUE(shown["logLimitReachedAt"].is_string());
  EXPECT_EQ(shown["history"].back()["operation"], "log_limit");
}

}  // namespace
}  // namespace tavoren::local_backend_testing
