// What the agent reports about an action: the status history, the changes
// to the record, and the shipped log, read back by the operator's calls
// while the agent goes on writing.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "local_backend_testing.h"
#include "tavoren/common/errors.h"
#include "tavoren/common/utf8.h"
#include "tavoren/store_rules.h"

namespace tavoren::local_backend_testing {
namespace {

using backend::Result;

class ReportsTest : public BackendTest {
 protected:
  ReportsTest() : operator_(options()), agent_(options("instance-7")) {}

  // A submitted action that the agent has taken.
  std::string assigned_action(const std::string& type = "deploy_add") {
    Json record = action_record(type);
    record["subAction"] = "first";
    const std::string id = operator_.submit(record);
    Result taken = agent_.assign_jobs(true);
    EXPECT_EQ(taken.data.at(0).at("_id"), id);
    return id;
  }

  static Json named(std::initializer_list<std::pair<const char*, Json>> pairs) {
    Json object = Json::object();
    for (const auto& [key, value] : pairs) object[key] = value;
    return object;
  }
  // A status report with the arguments every report carries.
  static Json status_report(const std::string& id, const std::string& status) {
    return named({{"service_provider", "LOCAL"},
                  {"action_record_id", id},
                  {"status", status},
                  {"action_duration", 0}});
  }

  StoreUnderTest operator_;
  StoreUnderTest agent_;
};

TEST_F(ReportsTest, HistoryRecordsEveryReportInOrderWithItsArguments) {
  const std::string id = assigned_action();
  const Json starting = named({{"service_provider", "LOCAL"},
                               {"action_record_id", id},
                               {"status", "starting"},
                               {"action_duration", 0}});
  const Json started = named({{"service_provider", "LOCAL"},
                              {"status", "started"},
                              {"action_record_id", id},
                              {"isRunning", true},
                              {"action_duration", 0},
                              {"cpuUtilisation", 0.0},
                              {"gpuUtilisation", 0.0},
                              {"memoryUtilisation", 0.0},
                              {"gpuMemoryUsed", 0}});
  const Json launched = named({{"id", id},
                               {"step_code", "DCK_LNCH"},
                               {"action_type", "deploy_add"},
                               {"status", "ACK"},
                               {"sub_action", "second"},
                               {"status_description", "Job is assigned to docker"},
                               {"service", "bg-job-scheduler"},
                               {"job_params", {{"epochs", 3}, {"port", 8080}}}});

  EXPECT_FALSE(agent_.update_action_status(starting).has_error_set());
  EXPECT_FALSE(agent_.update_action_status(started).has_error_set());
  EXPECT_FALSE(agent_
                   .update_status(id, "deploy_add", "bg-job-scheduler", "JBSS_LCK", "OK",
                                  "Job is locked for processing")
                   .has_error_set());
  EXPECT_FALSE(agent_.update_action(launched).has_error_set());

  const Json shown = operator_.show(id);
  const Json& history = shown["history"];
  ASSERT_EQ(history.size(), 6u) << history.dump(2);
  std::vector<std::string> operations;
  for (const Json& event : history) operations.push_back(event["operation"]);
  EXPECT_EQ(operations,
            (std::vector<std::string>{"submit", "assign_jobs", "update_action_status",
                                      "update_action_status", "update_status", "update_action"}));
  EXPECT_EQ(history[1]["arguments"],
            (named({{"instance_id", "instance-7"}, {"has_gpu", true}, {"attempt", 1}})));
  // Arguments come back exactly, key order and number kinds included.
  EXPECT_EQ(history[2]["arguments"].dump(), starting.dump());
  EXPECT_EQ(history[3]["arguments"].dump(), started.dump());
  EXPECT_EQ(history[4]["arguments"].dump(), named({{"action_record_id", id},
                                                   {"action_type", "deploy_add"},
                                                   {"service", "bg-job-scheduler"},
                                                   {"step_code", "JBSS_LCK"},
                                                   {"status", "OK"},
                                                   {"description", "Job is locked for processing"}})
                                                .dump());
  EXPECT_EQ(history[5]["arguments"].dump(), launched.dump());
  for (const Json& event : history) {
    EXPECT_EQ(event["recordedAt"].get<std::string>().size(), 24u) << event.dump();
  }

  // The record follows the reports: update_action's status, parameters and
  // sub-action; the lock step leaves the status alone.
  const Json record = agent_.get_action_details(id).data;
  EXPECT_EQ(record["status"], "ACK");
  EXPECT_EQ(record["jobParams"], (Json{{"epochs", 3}, {"port", 8080}}));
  EXPECT_EQ(record["subAction"], "second");
  EXPECT_EQ(record.begin().key(), "_id");
  EXPECT_EQ(shown["record"], record);
}

TEST_F(ReportsTest, StatusReportsChangeTheRecordsStatusOnlyThroughStatusCalls) {
  const std::string id = assigned_action();
  agent_.update_action_status(status_report(id, "started"));
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "started");
  agent_.update_status(id, "deploy_add", "bg-job-scheduler", "JBSS_LCK", "OK", "locked");
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "started");
  // An out-of-memory report carries the record's own parameters back, null
  // when it has none: the record keeps its parameters then.
  agent_.update_action(named({{"id", id},
                              {"step_code", "ERROR"},
                              {"action_type", "deploy_add"},
                              {"status", "ERROR"},
                              {"status_description", "CUDA error: out of memory"},
                              {"service", "bg-job-scheduler"},
                              {"job_params", nullptr}}));
  const Json record = agent_.get_action_details(id).data;
  EXPECT_EQ(record["status"], "ERROR");
  EXPECT_EQ(record["jobParams"], (Json{{"epochs", 3}}));
}

TEST_F(ReportsTest, ReportsAboutUnknownActionsOrWithoutIdentifierAreRefusedAndWriteNothing) {
  const std::string id = assigned_action();
  const std::int64_t events = rows("status_history");
  const std::string unknown = "0123456789abcdef01234567";

  // About an action that does not exist.
  expect_not_the_callers_action(
      [&] { return agent_.update_action_status(status_report(unknown, "x")); }, unknown);
  expect_not_the_callers_action(
      [&] { return agent_.update_status(unknown, "deploy_add", "s", "JBSS_LCK", "OK", "d"); },
      unknown);
  expect_not_the_callers_action(
      [&] {
        return agent_.update_action(named({{"id", unknown},
                                           {"step_code", "ERROR"},
                                           {"action_type", "deploy_add"},
                                           {"status", "ERROR"},
                                           {"status_description", "d"},
                                           {"service", "s"},
                                           {"job_params", nullptr}}));
      },
      unknown);
  expect_not_the_callers_action(
      [&] {
        return agent_.update_action_docker_logs(
            named({{"action_record_id", unknown}, {"log_content", "x"}}));
      },
      unknown);

  // Without the identifier, or not in the contract's form.
  Json without_id = status_report(id, "started");
  without_id.erase("action_record_id");
  expect_malformed_refused([&] { return agent_.update_action_status(without_id); },
                           "\"action_record_id\"");
  expect_malformed_refused([&] { return agent_.update_action_status(Json::array({id})); });
  Json numeric_id = status_report(id, "started");
  numeric_id["action_record_id"] = 42;
  expect_malformed_refused([&] { return agent_.update_action_status(numeric_id); });
  expect_malformed_refused(
      [&] {
        return agent_.update_action(named({{"action_record_id", id}, {"status", "ERROR"}}));
      },
      served() ? "\"action_record_id\"" : "\"id\"");
  expect_malformed_refused(
      [&] {
        return agent_.update_action_docker_logs(named({{"action_record_id", id}}));
      },
      "\"log_content\"");
  expect_malformed_refused([&] {
    return agent_.update_action_docker_logs(named({{"action_record_id", id}, {"log_content", 7}}));
  });

  EXPECT_EQ(rows("status_history"), events);
  EXPECT_EQ(rows("log_pieces"), 0);
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "assigned");

  expect_not_the_callers_action(
      [&] {
        Result missing = agent_.get_action_details(unknown);
        EXPECT_TRUE(missing.data.is_null());
        return missing;
      },
      unknown);
  EXPECT_THROW(operator_.show(unknown), KeyError);
  EXPECT_THROW(operator_.logs(unknown), KeyError);
}

// An instance cannot grow the store without bound through its reports:
// one report, all of an action's reports together, and the record they
// grow each have a limit; a report past one is refused whole.
TEST_F(ReportsTest, ReportsPastTheirLimitsAreRefusedWholeNotCut) {
  const std::string id = assigned_action();
  const auto too_large = [](const Result& result) {
    return result.error.value_or("") == backend::kTooLarge &&
           result.kind == backend::refusal_kind::kTooLarge;
  };
  const std::int64_t events = rows("status_history");
  Json huge = status_report(id, "started");
  huge["service_provider"] = std::string(backend::store_rules::kMaxReportBytes, 'd');
  EXPECT_TRUE(too_large(agent_.update_action_status(huge)));
  EXPECT_EQ(rows("status_history"), events);
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "assigned");

  // Reports just under the limit add up until the action's share is spent.
  Json big = status_report(id, "running");
  big["service_provider"] = std::string(backend::store_rules::kMaxReportBytes - 200, 'b');
  int stored = 0;
  Result answer;
  while (!too_large(answer = agent_.update_action_status(big))) {
    ASSERT_FALSE(answer.has_error()) << answer.message;
    ASSERT_LT(++stored, 100);
  }
  EXPECT_EQ(stored, backend::store_rules::kMaxReportBytesPerAction /
                        static_cast<std::int64_t>(big.dump().size()));
  EXPECT_NE(answer.message.find(id), std::string::npos) << answer.message;
  EXPECT_EQ(rows("status_history"), events + stored);
  // Other actions are not affected.
  const std::string other = assigned_action();
  EXPECT_FALSE(agent_.update_action_status(status_report(other, "running")).has_error());
}

// A record the operator made large keeps taking reports that do not grow
// it past the limit; one that would is refused.
TEST_F(ReportsTest, AReportMayNotGrowTheRecordPastItsLimit) {
  Json record = action_record("deploy_add");
  record["actionDetails"]["notes"] = std::string(backend::store_rules::kMaxRecordBytes - 2000, 'n');
  const std::string id = operator_.submit(record);
  ASSERT_EQ(agent_.assign_jobs(true).data.size(), 1u);
  const auto update = [&](const Json& job_params) {
    return named({{"id", id},
                  {"step_code", "RUN"},
                  {"action_type", "deploy_add"},
                  {"status", "running"},
                  {"status_description", "d"},
                  {"service", "s"},
                  {"job_params", job_params}});
  };
  const Json grow = update(Json{{"more", std::string(100 << 10, 'm')}});
  const Result refused = agent_.update_action(grow);
  EXPECT_EQ(refused.error.value_or(""), backend::kTooLarge);
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "assigned");
  EXPECT_FALSE(agent_.update_action(update(Json::object())).has_error());
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "running");
}

TEST_F(ReportsTest, LogPiecesConcatenateWholeAndByteExactFromAnyOffset) {
  const std::string id = assigned_action();
  // The embedded store keeps any bytes; the network protocol carries text
  // (JSON), and the agent ships its logs as UTF-8.
  const std::string odd_bytes = served() ? std::string("binary\0zero\x7f bytes\n", 19)
                                         : std::string("binary\0zero\xff\xfe bytes\n", 20);
  const std::vector<std::string> pieces = {"epoch 1/3\n", "", odd_bytes, "d\xc3\xa9j\xc3\xa0 vu\n",
                                           std::string(70000, 'x') + "\n"};
  std::string whole;
  for (const std::string& piece : pieces) {
    Result stored =
        agent_.update_action_docker_logs(named({{"action_record_id", id}, {"log_content", piece}}));
    ASSERT_FALSE(stored.has_error_set()) << *stored.error;
    whole += piece;
  }
  EXPECT_EQ(rows("log_pieces"), 4);  // the empty piece adds nothing

  const backend::LogChunk all = operator_.logs(id);
  EXPECT_EQ(all.content, whole);
  EXPECT_EQ(all.next_offset, static_cast<std::int64_t>(whole.size()));
  EXPECT_EQ(operator_.show(id)["logBytes"], whole.size());

  // Every offset, including ones inside a piece, gives exactly the tail.
  // Over the network an offset inside a character (31) gives U+FFFD for the
  // character's remaining bytes, as answers carry text.
  for (std::size_t offset : {std::size_t{0}, std::size_t{3}, std::size_t{10}, std::size_t{15},
                             std::size_t{30}, std::size_t{31}, whole.size() - 1, whole.size()}) {
    const backend::LogChunk tail = operator_.logs(id, static_cast<std::int64_t>(offset));
    const std::string rest = whole.substr(offset);
    EXPECT_EQ(tail.content, served() ? replace_invalid_utf8(rest) : rest) << "offset " << offset;
    EXPECT_EQ(tail.next_offset, static_cast<std::int64_t>(whole.size()));
  }
  const backend::LogChunk beyond = operator_.logs(id, static_cast<std::int64_t>(whole.size()) + 5);
  EXPECT_EQ(beyond.content, "");
  EXPECT_EQ(beyond.next_offset, static_cast<std::int64_t>(whole.size()) + 5);
  EXPECT_THROW(operator_.logs(id, -1), ValueError);

  // Following: the next read from next_offset holds only what came since.
  agent_.update_action_docker_logs(named({{"action_record_id", id}, {"log_content", "done\n"}}));
  EXPECT_EQ(operator_.logs(id, all.next_offset).content, "done\n");
}

// A piece placed in the agent's log file: the file's stream and the
// piece's byte range in it.
Json placed(const std::string& id, const std::string& content, const std::string& stream,
            Json start, Json end) {
  Json arguments = Json::object();
  arguments["action_record_id"] = id;
  arguments["log_content"] = content;
  arguments["log_stream"] = stream;
  arguments["log_start_offset"] = std::move(start);
  arguments["log_end_offset"] = std::move(end);
  return arguments;
}

// A log is read a page at a time: the reader learns that more is stored,
// and an ended action's log is finished only at its last page.
TEST_F(ReportsTest, ALongLogIsReadAPageAtATime) {
  const std::string id = assigned_action();
  const std::size_t piece = (backend::kLogPageBytes / 2) + 1000;
  std::string whole;
  for (char c : {'a', 'b', 'c'}) {
    const std::string content(piece, c);
    ASSERT_FALSE(
        agent_
            .update_action_docker_logs(named({{"action_record_id", id}, {"log_content", content}}))
            .has_error_set());
    whole += content;
  }
  agent_.record_exit(id, 0);
  std::string read;
  std::int64_t offset = 0;
  int pages = 0;
  while (true) {
    const backend::LogChunk chunk = operator_.logs(id, offset);
    ++pages;
    EXPECT_LE(chunk.content.size(), static_cast<std::size_t>(backend::kLogPageBytes));
    read += chunk.content;
    offset = chunk.next_offset;
    EXPECT_EQ(chunk.finished, !chunk.more) << "page " << pages;
    if (!chunk.more) break;
    ASSERT_LT(pages, 5);
  }
  EXPECT_EQ(pages, 2);
  EXPECT_EQ(read, whole);
  EXPECT_EQ(offset, static_cast<std::int64_t>(whole.size()));
}

TEST_F(ReportsTest, APlacedPieceStoredBeforeIsAcknowledgedAndOnlyNewBytesAreStored) {
  const std::string id = assigned_action();
  // 9 + 9 + 10 + 10 bytes; the third line holds two-byte characters.
  const std::string file = "line one\nline two\nd\xc3\xa9j\xc3\xa0 vu\nline four\n";
  auto send = [&](std::size_t start, std::size_t end, const std::string& stream = "run-1") {
    const Result result = agent_.update_action_docker_logs(
        placed(id, file.substr(start, end - start), stream, start, end));
    EXPECT_FALSE(result.has_error_set()) << *result.error;
  };
  send(0, 18);
  // Sent again whole or in part (an agent restarted before it kept the
  // offset): accepted, nothing stored.
  send(0, 18);
  send(9, 18);
  send(0, 9);
  EXPECT_EQ(operator_.logs(id).content, file.substr(0, 18));
  EXPECT_EQ(rows("log_pieces"), 1);

  // Across what was stored: only the bytes beyond it.
  send(9, 28);
  EXPECT_EQ(operator_.logs(id).content, file.substr(0, 28));
  // A piece beyond a gap (bytes dropped by the agent) is stored as it is.
  send(29, 38);
  EXPECT_EQ(operator_.logs(id).content, file.substr(0, 28) + file.substr(29));
  EXPECT_EQ(rows("log_pieces"), 3);

  // A text that is not its range's bytes (the agent replaced bad bytes)
  // cannot be cut: stored whole, and the stream's mark moves to its end.
  ASSERT_FALSE(agent_.update_action_docker_logs(placed(id, "\xef\xbf\xbd tail\n", "run-1", 36, 40))
                   .has_error_set());
  const std::string before_rerun = file.substr(0, 28) + file.substr(29) + "\xef\xbf\xbd tail\n";
  EXPECT_EQ(operator_.logs(id).content, before_rerun);
  send(38, 38 + 0);  // empty: nothing to store
  EXPECT_EQ(rows("log_pieces"), 4);

  // A new stream (the log file written anew) starts from 0 and is not
  // taken for the old one's bytes.
  const std::string rerun = "second run\n";
  ASSERT_FALSE(agent_.update_action_docker_logs(placed(id, rerun, "run-2", 0, rerun.size()))
                   .has_error_set());
  // Pieces without a place are stored every time and leave the mark alone.
  for (int i = 0; i < 2; ++i) {
    ASSERT_FALSE(agent_
                     .update_action_docker_logs(
                         named({{"action_record_id", id}, {"log_content", "unplaced\n"}}))
                     .has_error_set());
  }
  ASSERT_FALSE(agent_.update_action_docker_logs(placed(id, rerun, "run-2", 0, rerun.size()))
                   .has_error_set());
  EXPECT_EQ(operator_.logs(id).content, before_rerun + rerun + "unplaced\nunplaced\n");
  EXPECT_EQ(operator_.show(id)["logBytes"], before_rerun.size() + rerun.size() + 18);
}

TEST_F(ReportsTest, AMalformedPlaceOfALogPieceIsRefusedAndStoresNothing) {
  const std::string id = assigned_action();
  Json partial = named({{"action_record_id", id}, {"log_content", "x\n"}, {"log_stream", "s"}});
  expect_malformed_refused([&] { return agent_.update_action_docker_logs(partial); },
                           "log_start_offset");
  expect_malformed_refused(
      [&] { return agent_.update_action_docker_logs(placed(id, "x\n", "s", 5, 3)); },
      "log_start_offset");
  expect_malformed_refused(
      [&] { return agent_.update_action_docker_logs(placed(id, "x\n", "s", -2, 0)); },
      "log_start_offset");
  expect_malformed_refused(
      [&] { return agent_.update_action_docker_logs(placed(id, "x\n", "s", "0", 2)); },
      "log_start_offset");
  expect_malformed_refused(
      [&] { return agent_.update_action_docker_logs(placed(id, "x\n", "", 0, 2)); }, "log_stream");
  expect_malformed_refused(
      [&] {
        return agent_.update_action_docker_logs(placed(id, "x\n", std::string(200, 's'), 0, 2));
      },
      "log_stream");
  Json numeric_stream = placed(id, "x\n", "s", 0, 2);
  numeric_stream["log_stream"] = 7;
  expect_malformed_refused([&] { return agent_.update_action_docker_logs(numeric_stream); },
                           "log_stream");
  EXPECT_EQ(rows("log_pieces"), 0);
  // The same piece well formed is stored.
  EXPECT_FALSE(agent_.update_action_docker_logs(placed(id, "x\n", "s", 0, 2)).has_error_set());
  EXPECT_EQ(operator_.logs(id).content, "x\n");
}

// A follower of the log stops at the first chunk read after the end was
// recorded, so the end must be visible only together with the whole log.
TEST_F(ReportsTest, TheEndOfAnActionIsRecordedOnceItsLogIsCompleteAndShownEverywhere) {
  StoreUnderTest operator_backend(options());
  const std::string id = operator_backend.submit(action_record());
  StoreUnderTest agent(options("instance-a"));
  ASSERT_EQ(agent.assign_jobs(false).data.size(), 1u);

  Json piece = Json::object();
  piece["action_record_id"] = id;
  piece["log_content"] = "line 1\n";
  ASSERT_FALSE(agent.update_action_docker_logs(piece).has_error_set());
  backend::LogChunk running = operator_backend.logs(id);
  EXPECT_FALSE(running.finished);
  EXPECT_EQ(operator_backend.show(id)["exitStatus"], nullptr);
  EXPECT_EQ(operator_backend.list()[0]["exitStatus"], nullptr);

  agent.record_exit(id, 137);
  backend::LogChunk ended = operator_backend.logs(id, running.next_offset);
  EXPECT_TRUE(ended.finished);
  EXPECT_EQ(ended.content, "");
  Json shown = operator_backend.show(id);
  EXPECT_EQ(shown["state"], "ended");
  EXPECT_EQ(shown["exitStatus"], 137);
  EXPECT_TRUE(shown["endedAt"].is_string());
  EXPECT_EQ(shown["record"]["status"], "assigned");  // the job's own status is untouched
  const Json& last = shown["history"].back();
  EXPECT_EQ(last["operation"], "exit");
  EXPECT_EQ(last["arguments"], (Json{{"exit_status", 137},
                                     {"instance_id", "instance-a"},
                                     {"cause", "exited"},
                                     {"attempt", 1}}));
  Json listed = operator_backend.list();
  EXPECT_EQ(listed[0]["state"], "ended");
  EXPECT_EQ(listed[0]["exitStatus"], 137);

  const auto history = rows("status_history");
  expect_not_the_callers_action_thrown([&] { agent.record_exit("0123456789abcdef01234567", 0); });
  EXPECT_EQ(rows("status_history"), history);
}

TEST_F(ReportsTest, ReadersSeeWholeCommittedPiecesWhileAnotherConnectionWrites) {
  const std::string id = assigned_action();
  constexpr int kPieces = 150;
  auto piece = [](int i) {
    return "line " + std::to_string(i) + " " + std::string(i % 17, '#') + "\n";
  };
  std::string expected;
  for (int i = 0; i < kPieces; ++i) expected += piece(i);

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < kPieces; ++i) {
      agent_.update_action_docker_logs(
          named({{"action_record_id", id}, {"log_content", piece(i)}}));
      agent_.update_action_status(status_report(id, "running " + std::to_string(i)));
    }
    writing = false;
  });

  StoreUnderTest reader(options());
  int reads = 0;
  std::size_t last_size = 0;
  std::size_t last_events = 0;
  while (writing || reads == 0) {
    const std::string content = reader.logs(id).content;
    // Always a prefix of the whole log that ends at a piece's end.
    ASSERT_EQ(expected.compare(0, content.size(), content), 0);
    ASSERT_TRUE(content.empty() || content.back() == '\n');
    ASSERT_GE(content.size(), last_size);
    last_size = content.size();

    const Json shown = reader.show(id);
    ASSERT_GE(shown["history"].size(), last_events);
    last_events = shown["history"].size();
    ASSERT_EQ(reader.list().size(), 1u);
    ++reads;
  }
  writer.join();
  EXPECT_EQ(reader.logs(id).content, expected);
  EXPECT_EQ(reader.show(id)["history"].size(), 2u + kPieces);
  EXPECT_EQ(agent_.get_action_details(id).data["status"], "running " + std::to_string(kPieces - 1));
}

TEST_F(ReportsTest, AnOpenReadSnapshotDoesNotBlockWritersAndKeepsItsView) {
  SKIP_UNLESS_SQLITE("holds a snapshot of the file");
  const std::string id = assigned_action();
  RawDatabase raw(database());
  EXPECT_EQ(raw.text("PRAGMA journal_mode"), "wal");
  raw.exec("BEGIN");
  EXPECT_EQ(raw.integer("SELECT count(*) FROM log_pieces"), 0);  // the snapshot starts here

  LocalBackendOptions impatient = options("instance-7");
  impatient.busy_timeout = std::chrono::milliseconds(50);
  StoreUnderTest writer(std::move(impatient));
  Result stored =
      writer.update_action_docker_logs(named({{"action_record_id", id}, {"log_content", "x\n"}}));
  EXPECT_FALSE(stored.has_error_set());
  EXPECT_EQ(raw.integer("SELECT count(*) FROM log_pieces"), 0);
  raw.exec("COMMIT");
  EXPECT_EQ(raw.integer("SELECT count(*) FROM log_pieces"), 1);
}

TEST_F(ReportsTest, AWriterHeldOffBeyondTheBusyTimeoutFailsWithoutWriting) {
  SKIP_WHEN_SERVED("a busy store is the server's failure (500), which its client retries");
  const std::string id = assigned_action();
  RawDatabase raw(database());
  raw.exec("BEGIN IMMEDIATE");

  LocalBackendOptions impatient = options("instance-7");
  impatient.busy_timeout = std::chrono::milliseconds(20);
  StoreUnderTest writer(std::move(impatient));
  try {
    writer.update_action_status(status_report(id, "started"));
    FAIL() << "a write under another connection's write lock went through";
  } catch (const backend::DatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("locked"), std::string::npos) << e.what();
  }
  raw.exec("ROLLBACK");
  EXPECT_EQ(writer.get_action_details(id).data["status"], "assigned");
  // The connection that failed is usable again.
  EXPECT_FALSE(writer.update_action_status(status_report(id, "started")).has_error_set());
  EXPECT_EQ(writer.get_action_details(id).data["status"], "started");
}

TEST_F(ReportsTest, ResourceReportsKeepEachInstancesLatestAndRefuseMalformedOnes) {
  auto report = [](double memory, double cpu, double gpu_memory, double gpu) {
    return named({{"available_memory", memory},
                  {"available_cpu", cpu},
                  {"available_gpu_memory", gpu_memory},
                  {"gpu_utilisation", gpu}});
  };
  EXPECT_FALSE(agent_.update_available_resources(report(50, 75, 72, 10)).has_error_set());
  EXPECT_FALSE(agent_.update_available_resources(report(40, 70, 70, 12)).has_error_set());
  StoreUnderTest other(options("instance-8"));
  EXPECT_FALSE(other.update_available_resources(report(1, 2, 3, 4)).has_error_set());

  // A server's instance keys each name an instance; the embedded store
  // refuses a report from an object without one.
  if (!served()) {
    EXPECT_TRUE(operator_.update_available_resources(report(1, 2, 3, 4)).has_error());
  }
  expect_malformed_refused([&] {
    return agent_.update_available_resources(Json::array({1, 2, 3, 4}));
  });
  expect_malformed_refused(
      [&] {
        return agent_.update_available_resources(
            named({{"available_memory", 1}, {"available_cpu", 2}, {"available_gpu_memory", 3}}));
      },
      "\"gpu_utilisation\"");
  const Result not_a_number = agent_.update_available_resources(named({{"available_memory", "50"},
                                                                       {"available_cpu", 2},
                                                                       {"available_gpu_memory", 3},
                                                                       {"gpu_utilisation", 4}}));
  ASSERT_TRUE(not_a_number.has_error());
  EXPECT_NE(not_a_number.error->find("\"available_memory\""), std::string::npos)
      << *not_a_number.error;

  const Json machines = operator_.machine_resources();
  ASSERT_EQ(machines.size(), 2u) << machines.dump();
  EXPECT_EQ(machines["instance-7"]["report"].dump(),
            R"({"available_memory":40.0,"available_cpu":70.0,"available_gpu_memory":70.0,)"
            R"("gpu_utilisation":12.0})");
  EXPECT_EQ(machines["instance-8"]["report"]["gpu_utilisation"], 4.0);
  EXPECT_TRUE(machines["instance-8"]["reportedAt"].is_string());
}

}  // namespace
}  // namespace tavoren::local_backend_testing
