#include "log_shipping.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>
#include <thread>
#include <tuple>

#include "tavoren/common/text.h"
#include "tavoren/common/utf8.h"
#include "work_unit_testing.h"

namespace tavoren::detail {
namespace {

using tavoren::testing::TempDir;

const std::string kFffd(kReplacementCharacter);
constexpr SendOutcome kYes = SendOutcome::kAccepted;
constexpr SendOutcome kNo = SendOutcome::kRefused;
const std::string kMarker(kCudaOutOfMemory);

// ---------------------------------------------------------------------------
// Shipping a log file

// A log file and the shipper that ships it to a recording sender.
class Log {
 public:
  using Drop = std::tuple<std::uint64_t, std::uint64_t, int>;

  explicit Log(std::size_t max_piece = 8u << 20, RefusalLimits limits = {},
               std::function<bool(const std::string&)> acceptable = nullptr)
      : path_((dir_.path() / "job.txt").string()),
        shipper_(
            LogSender{
                .send =
                    [this, acceptable](std::string& text, const LogSpan& span) {
                      attempts.push_back(text);
                      spans.emplace_back(std::string(span.stream), span.start, span.end);
                      // Its place was told before it was sent.
                      EXPECT_TRUE(!told.empty() && told.back() == spans.back());
                      if (!answers.empty()) {
                        const SendOutcome answer = answers.front();
                        answers.pop_front();
                        if (answer != SendOutcome::kAccepted) return answer;
                      }
                      if (acceptable && !acceptable(text)) return SendOutcome::kRefused;
                      accepted.push_back(text);
                      return SendOutcome::kAccepted;
                    },
                .report_marker =
                    [this](const std::string& text) {
                      EXPECT_NE(text.find(kMarker), std::string::npos);
                      ++reports;
                    },
                .report_drop = [this](std::uint64_t first, std::uint64_t last,
                                      int refusals) { drops.emplace_back(first, last, refusals); },
                .report_sending =
                    [this](const LogSpan& span) {
                      told.emplace_back(std::string(span.stream), span.start, span.end);
                    },
            },
            max_piece, limits) {
    std::ofstream(path_).flush();
    shipper_.restart(path_);
  }
  void append(const std::string& bytes) { std::ofstream(path_, std::ios::app) << bytes; }
  const std::string& path() const { return path_; }
  LogShipper& shipper() { return shipper_; }

  LogShipment ship(bool final = false) { return shipper_.ship(final); }
  std::uint64_t offset() const { return shipper_.offset(); }
  // The sender refuses the next `n` pieces.
  void refuse(int n) { answers.insert(answers.end(), n, SendOutcome::kRefused); }
  // The next `n` pieces get no answer.
  void unanswered(int n) { answers.insert(answers.end(), n, SendOutcome::kUnanswered); }

  std::string all_accepted() const {
    std::string all;
    for (const auto& t : accepted) all += t;
    return all;
  }

  using Span = std::tuple<std::string, std::uint64_t, std::uint64_t>;
  std::vector<std::string> attempts;
  // The place of each attempt, and each place told before a send.
  std::vector<Span> spans;
  std::vector<Span> told;
  std::vector<std::string> accepted;
  // The sender's next answers; it accepts once they run out.
  std::deque<SendOutcome> answers;
  int reports = 0;
  std::vector<Drop> drops;

 private:
  TempDir dir_;
  std::string path_;
  LogShipper shipper_;
};

TEST(LogShipping, ACharacterSplitAtAnyByteWaitsForItsRest) {
  for (const std::string character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"}) {
    for (std::size_t cut = 1; cut < character.size(); ++cut) {
      Log log;
      log.append("ab" + character.substr(0, cut));
      LogShipment first = log.ship();
      EXPECT_EQ(first.read, 2 + cut);
      EXPECT_EQ(first.sent, 2u);
      EXPECT_EQ(log.offset(), 2u);
      EXPECT_EQ(log.ship().read, cut);  // nothing to send until the rest arrives
      log.append(character.substr(cut) + "z");
      log.ship();
      EXPECT_EQ(log.accepted, (std::vector<std::string>{"ab", character + "z"}))
          << character.size() << "-byte character cut after " << cut;
      EXPECT_EQ(log.offset(), 3 + character.size());
    }
  }
}

TEST(LogShipping, AFinalShipmentSendsAnIncompleteEndReplaced) {
  Log log;
  log.append("ab\xE2\x82");
  log.ship();
  LogShipment last = log.ship(true);
  EXPECT_EQ(last.sent, 2u);
  EXPECT_EQ(log.accepted, (std::vector<std::string>{"ab", kFffd}));
  EXPECT_EQ(log.offset(), 4u);
}

TEST(LogShipping, IllFormedBytesInsideAPieceAreReplacedAndCountedAsRead) {
  Log log;
  log.append(
      "a\xFF"
      "b\xC0\xAF"
      "c");
  LogShipment shipment = log.ship();
  EXPECT_EQ(shipment.sent, 6u);
  EXPECT_EQ(log.accepted, std::vector<std::string>{"a" + kFffd + "b" + kFffd + kFffd + "c"});
  EXPECT_EQ(log.offset(), 6u);
}

// A refused piece may have been stored all the same (its answer lost on
// the way): it is sent again as it was, not joined with what the file
// gained meanwhile, so that the backend can tell it is the same piece.
TEST(LogShipping, ARefusedPieceIsSentAgainAsItWasThenWhatFollowsIt) {
  Log log;
  log.append("one\n");
  log.refuse(1);
  LogShipment refused = log.ship();
  EXPECT_EQ(refused.read, 4u);
  EXPECT_EQ(refused.sent, 0u);
  EXPECT_EQ(log.offset(), 0u);
  log.append("two\n");
  LogShipment shipment = log.ship();
  EXPECT_EQ(shipment.sent, 8u);
  EXPECT_TRUE(shipment.reached_end);
  EXPECT_EQ(log.attempts, (std::vector<std::string>{"one\n", "one\n", "two\n"}));
  EXPECT_EQ(log.all_accepted(), "one\ntwo\n");
  EXPECT_EQ(log.ship().read, 0u);
  EXPECT_EQ(log.attempts.size(), 3u);

  // Once the piece is in, pieces are as large as the file allows again.
  log.append("three\n");
  log.refuse(1);
  log.ship();
  log.append("four\nfive\n");
  log.ship();
  log.append("six\n");
  log.ship();
  EXPECT_EQ(log.attempts, (std::vector<std::string>{"one\n", "one\n", "two\n", "three\n", "three\n",
                                                    "four\nfive\n", "six\n"}));
  EXPECT_EQ(log.all_accepted(), "one\ntwo\nthree\nfour\nfive\nsix\n");
}

TEST(LogShipping, ABacklogGoesInBoundedPiecesCutBetweenCharacters) {
  std::string content;
  for (int i = 0; i < 40; ++i) content += (i % 3 == 0) ? "\xF0\x9F\x98\x80" : "a\xE2\x82\xAC";
  for (std::size_t limit : {1u, 4u, 5u, 7u, 64u}) {
    Log log(limit);
    log.append(content);
    LogShipment shipment = log.ship();
    EXPECT_EQ(shipment.sent, content.size());
    EXPECT_EQ(log.all_accepted(), content) << "limit " << limit;
    for (const auto& piece : log.accepted) {
      EXPECT_LE(piece.size(), std::max<std::size_t>(limit, 4));
      EXPECT_TRUE(is_valid_utf8(piece));
      EXPECT_EQ(piece.find(kFffd), std::string::npos);
    }
  }
}

// Large pieces are read and checked in slices; characters and markers that
// straddle a slice boundary must come out as in a small piece.
TEST(LogShipping, ALargePieceIsCheckedAcrossItsReadSlices) {
  const std::size_t slice = 256u << 10;
  std::string content(slice - 1, 'a');
  content += "\xE2\x82\xAC";  // straddles the first slice boundary
  content.append(2 * slice - 10 - content.size(), 'b');
  content += kMarker;  // straddles the second
  content.append(3 * slice + 100 - content.size(), 'c');
  {
    Log log;
    log.append(content);
    log.ship();
    ASSERT_EQ(log.accepted.size(), 1u);
    EXPECT_TRUE(log.accepted[0] == content);
    EXPECT_EQ(log.reports, 1);
  }
  {
    std::string broken = content;
    broken[3 * slice - 1] = '\xFF';
    Log log;
    log.append(broken);
    log.ship();
    ASSERT_EQ(log.accepted.size(), 1u);
    EXPECT_TRUE(log.accepted[0] ==
                broken.substr(0, 3 * slice - 1) + kFffd + broken.substr(3 * slice));
    EXPECT_EQ(log.reports, 1);
  }
  {
    // A character cut by the end of a final shipment, after a long piece.
    Log log;
    log.append(content + "\xF0\x9F");
    log.ship(true);
    ASSERT_EQ(log.accepted.size(), 1u);
    EXPECT_TRUE(log.accepted[0] == content + kFffd);
  }
}

TEST(LogShipping, ARefusalInsideABacklogStopsAtThatPiece) {
  Log log(4);
  log.append("aaaabbbbcccc");
  log.answers = {kYes, kNo};
  LogShipment shipment = log.ship();
  EXPECT_EQ(log.attempts.size(), 2u);
  EXPECT_EQ(shipment.sent, 4u);
  EXPECT_EQ(log.offset(), 4u);
  log.ship();
  EXPECT_EQ(log.accepted, (std::vector<std::string>{"aaaa", "bbbb", "cccc"}));
}

TEST(LogShipping, AMarkerSplitAtAnyByteBetweenPiecesIsReportedOnce) {
  for (std::size_t cut = 1; cut < kMarker.size(); ++cut) {
    Log log;
    log.append("step 7 " + kMarker.substr(0, cut));
    log.ship();
    log.append(kMarker.substr(cut) + "\nnext line\n");
    log.ship();
    log.append("more output\n");
    log.ship();
    EXPECT_EQ(log.reports, 1) << "cut after " << cut;
  }
}

TEST(LogShipping, AMarkerSplitOverSeveralSmallPiecesIsReportedOnce) {
  Log log(4);
  log.append("x" + kMarker + "y");
  log.ship();
  EXPECT_GE(log.accepted.size(), 7u);
  EXPECT_EQ(log.reports, 1);
}

TEST(LogShipping, EachPieceWithANewOccurrenceReportsOnce) {
  Log log;
  log.append(kMarker + " " + kMarker + "\n");
  log.ship();
  EXPECT_EQ(log.reports, 1);
  log.append("unrelated\n");
  log.ship();
  EXPECT_EQ(log.reports, 1);
  log.append(kMarker + "\n");
  log.ship();
  EXPECT_EQ(log.reports, 2);
}

// A marker is reported when its bytes are first read, whatever the backend
// answers: a refused piece reports at once, and its resends do not again.
TEST(LogShipping, AMarkerInARefusedPieceIsReportedOnTheFirstAttemptOnly) {
  Log log;
  log.append("fatal: " + kMarker + "\n");
  log.refuse(2);
  log.ship();
  EXPECT_EQ(log.reports, 1);
  log.ship();
  log.ship();
  EXPECT_EQ(log.accepted.size(), 1u);
  EXPECT_EQ(log.reports, 1);

  // A resend carries the old bytes only; the new bytes after them report
  // only a new occurrence among them, even one that completes across the
  // old bytes.
  log.append("again " + kMarker.substr(0, 9));
  log.refuse(1);
  log.ship();
  log.append(kMarker.substr(9) + "\n");
  log.ship();
  ASSERT_GE(log.attempts.size(), 3u);
  EXPECT_EQ(log.attempts[log.attempts.size() - 3], "again " + kMarker.substr(0, 9));
  EXPECT_EQ(log.attempts[log.attempts.size() - 2], "again " + kMarker.substr(0, 9));
  EXPECT_EQ(log.attempts.back(), kMarker.substr(9) + "\n");
  EXPECT_EQ(log.reports, 2);
}

// ---------------------------------------------------------------------------
// A piece the backend keeps refusing

// A log whose sender refuses every piece that holds `poison`.
class PoisonedLog : public Log {
 public:
  PoisonedLog(std::string poison, std::size_t max_piece, RefusalLimits limits)
      : Log(max_piece, limits,
            [poison](const std::string& text) { return text.find(poison) == std::string::npos; }) {}
};

TEST(LogRefusals, APieceRefusedForeverIsNarrowedDownDroppedAndTheRestArrivesOnce) {
  std::string content;
  for (int i = 0; i < 40; ++i) content += "line " + std::to_string(i) + "\n";
  const std::size_t poison_at = content.size() / 2;
  content.insert(poison_at, "#");  // the one byte the backend never takes
  PoisonedLog log("#", 64, {.max_refusals = 3, .min_piece = 8});
  log.append(content);
  LogShipment total;
  for (int cycle = 0; cycle < 100 && log.offset() < content.size(); ++cycle) {
    LogShipment shipment = log.ship();
    total.sent += shipment.sent;
    total.dropped += shipment.dropped;
  }
  ASSERT_EQ(log.offset(), content.size());
  ASSERT_EQ(log.drops.size(), 1u);
  const auto [first, last, refusals] = log.drops[0];
  EXPECT_LE(first, poison_at);
  EXPECT_GE(last, poison_at);
  EXPECT_LE(last - first + 1, 8u);  // only as much as the smallest piece
  EXPECT_GE(refusals, 3);
  EXPECT_EQ(total.dropped, last - first + 1);
  EXPECT_EQ(total.sent + total.dropped, content.size());
  EXPECT_EQ(log.shipper().dropped(), total.dropped);
  // Everything else arrived, once and in order.
  EXPECT_EQ(log.all_accepted(), content.substr(0, first) + content.substr(last + 1));
  // Each refusal ended its shipment: the pieces shrank one step per shipment.
  std::size_t refused_in_a_row = 0;
  for (const std::string& attempt : log.attempts) {
    if (attempt.find('#') == std::string::npos) {
      refused_in_a_row = 0;
      continue;
    }
    ++refused_in_a_row;
    if (refused_in_a_row > 3) {
      EXPECT_LE(attempt.size(), 64u >> (refused_in_a_row - 3));
    }
  }
}

TEST(LogRefusals, AnOutageNeitherNarrowsNorDropsAPieceAndItArrivesOnce) {
  // However long the backend cannot be reached, the piece that got no
  // answer is sent again as it was: a shorter one would be another write,
  // stored twice over if the first had been stored after all.
  Log log(16, {.max_refusals = 2, .min_piece = 4});
  const std::string content = "0123456789abcdef0123456789\n";
  log.append(content);
  log.unanswered(30);
  for (int cycle = 0; cycle < 30; ++cycle) {
    log.append("more " + std::to_string(cycle) + "\n");
    EXPECT_EQ(log.ship().sent, 0u);
  }
  EXPECT_EQ(log.offset(), 0u);
  EXPECT_TRUE(log.drops.empty());
  ASSERT_EQ(log.attempts.size(), 30u);
  for (const std::string& attempt : log.attempts) EXPECT_EQ(attempt, content.substr(0, 16));

  // A refusal after the outage counts from the first again.
  log.refuse(1);
  log.ship();
  EXPECT_EQ(log.attempts.back(), content.substr(0, 16));
  while (log.ship().sent > 0) {
  }
  EXPECT_TRUE(log.drops.empty());
  EXPECT_EQ(log.all_accepted().substr(0, content.size()), content);
  EXPECT_EQ(log.offset(), std::filesystem::file_size(log.path()));
}

TEST(LogRefusals, RefusalsShortOfTheLimitLoseNothing) {
  Log log(16, {.max_refusals = 4, .min_piece = 4});
  log.append("0123456789abcdef0123");
  log.refuse(3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(log.ship().sent, 0u);
  LogShipment shipment = log.ship();
  EXPECT_EQ(shipment.sent, 20u);
  EXPECT_TRUE(shipment.reached_end);
  EXPECT_EQ(log.all_accepted(), "0123456789abcdef0123");
  EXPECT_EQ(log.attempts[0], "0123456789abcdef");  // full size until the limit
  EXPECT_EQ(log.attempts[3], "0123456789abcdef");
  EXPECT_TRUE(log.drops.empty());

  // The count starts again at each new offset: refusals spread over
  // several places never add up to a drop.
  log.append("ghijklmnopqrstuvwxyz");
  log.answers = {kNo, kNo, kNo, kYes, kNo, kNo, kNo, kYes};
  for (int i = 0; i < 20 && log.offset() < 40; ++i) log.ship();
  EXPECT_EQ(log.attempts.size(), 5u + 8u);
  EXPECT_EQ(log.all_accepted(), "0123456789abcdef0123ghijklmnopqrstuvwxyz");
  EXPECT_TRUE(log.drops.empty());
  EXPECT_EQ(log.shipper().dropped(), 0u);
}

// A small log the backend never takes: dropped after the limit, with its
// marker reported once all the same.
TEST(LogRefusals, ASmallPieceIsDroppedAtTheLimitAndItsMarkerStillReported) {
  Log log(64, {.max_refusals = 2, .min_piece = 16});
  log.append(kMarker);
  log.refuse(2);
  EXPECT_EQ(log.ship().sent, 0u);
  EXPECT_EQ(log.reports, 1);
  LogShipment second = log.ship();
  EXPECT_EQ(second.dropped, 0u);  // 25 bytes: narrowed first
  log.refuse(1);
  LogShipment third = log.ship();  // refused at the floor: dropped, the rest goes on
  EXPECT_EQ(log.attempts, (std::vector<std::string>{kMarker, kMarker, kMarker.substr(0, 16),
                                                    kMarker.substr(16)}));
  EXPECT_EQ(third.dropped, 16u);
  EXPECT_EQ(third.sent, kMarker.size() - 16);
  EXPECT_TRUE(third.reached_end);
  ASSERT_EQ(log.drops.size(), 1u);
  EXPECT_EQ(log.drops[0], (Log::Drop{0, 15, 3}));
  EXPECT_EQ(log.all_accepted(), kMarker.substr(16));
  EXPECT_EQ(log.reports, 1);
}

TEST(LogShipping, AMissingFileIsAnErrorAndAShrunkenFileSendsNothing) {
  Log log;
  LogShipper missing({.send = [](std::string&, const LogSpan&) { return SendOutcome::kAccepted; },
                      .report_marker = [](const std::string&) {}},
                     64);
  // Nothing to ship before the shipper knows its file.
  EXPECT_EQ(missing.ship(false).read, 0u);
  missing.restart(log.path() + ".missing");
  EXPECT_THROW(missing.ship(false), std::system_error);

  log.append("0123456789");
  log.ship();
  std::filesystem::resize_file(log.path(), 4);
  LogShipment shipment = log.ship();
  EXPECT_EQ(shipment.read, 0u);
  EXPECT_EQ(log.accepted.size(), 1u);
}

// Each piece goes with its place; a restart is a new stream; a resumed
// shipper keeps the stream it is given and sends the piece that was in
// flight again first, exactly, however much the file grew.
TEST(LogShipping, PiecesCarryTheirPlaceAndAResumeSendsThePieceInFlightAgainFirst) {
  Log log(8);
  LogShipper& shipper = log.shipper();
  const std::string first_stream = shipper.stream();
  EXPECT_EQ(first_stream.size(), 32u);
  log.append("abcdefgh\xc3\xa9xyz\n");  // 14 bytes: é would straddle the first piece's end
  log.ship();
  ASSERT_EQ(log.spans.size(), 2u);
  EXPECT_EQ(log.spans[0], (Log::Span{first_stream, 0, 8}));
  EXPECT_EQ(log.spans[1], (Log::Span{first_stream, 8, 14}));

  log.shipper().restart(log.path());
  EXPECT_NE(shipper.stream(), first_stream);
  EXPECT_NE(shipper.stream(), "");

  // A previous agent had shipped 8 bytes and was sending [8, 12) when it
  // stopped; the file has grown since.
  log.append("more\n");
  log.spans.clear();
  log.attempts.clear();
  shipper.resume(log.path(), 8, 8, first_stream, 12);
  log.ship();
  ASSERT_GE(log.spans.size(), 2u);
  EXPECT_EQ(log.spans[0], (Log::Span{first_stream, 8, 12}));
  EXPECT_EQ(log.attempts[0], "\xc3\xa9xy");
  EXPECT_EQ(std::get<1>(log.spans[1]), 12u);
  EXPECT_EQ(log.offset(), 19u);

  // No piece in flight, no stream kept: a new stream, pieces as usual.
  log.spans.clear();
  shipper.resume(log.path(), 14, 14);
  EXPECT_NE(shipper.stream(), first_stream);
  log.ship();
  ASSERT_EQ(log.spans.size(), 1u);
  EXPECT_EQ(log.spans[0], (Log::Span{shipper.stream(), 14, 19}));
}

// A restart ships the new file from its first byte, with no memory of a
// marker begun in the old one.
TEST(LogShipping, ARestartForgetsTheOffsetAndTheMarkerTail) {
  Log log;
  log.append("first run " + kMarker.substr(0, 10));
  log.ship();
  EXPECT_EQ(log.offset(), 10 + 10u);
  std::ofstream(log.path(), std::ios::trunc) << kMarker.substr(10) << "\n";
  log.shipper().restart(log.path());
  EXPECT_EQ(log.offset(), 0u);
  log.ship();
  EXPECT_EQ(log.reports, 0);
  EXPECT_EQ(log.accepted.back(), kMarker.substr(10) + "\n");
}

// One shipment at a time: a second one waits for the first, up to its
// limit, while the offset stays readable.
TEST(LogShipping, AShipmentInProgressHoldsOthersBackUpToTheirLimit) {
  TempDir dir;
  const std::string path = (dir.path() / "job.txt").string();
  std::ofstream(path) << "held piece\n";
  std::mutex mutex;
  std::condition_variable changed;
  bool sending = false;
  bool release = false;
  LogShipper shipper({.send =
                          [&](std::string&, const LogSpan&) {
                            std::unique_lock lock(mutex);
                            sending = true;
                            changed.notify_all();
                            changed.wait(lock, [&] { return release; });
                            return SendOutcome::kAccepted;
                          },
                      .report_marker = [](const std::string&) {}},
                     64);
  shipper.restart(path);
  std::thread first([&] { shipper.ship(false); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return sending; });
  }
  EXPECT_EQ(shipper.offset(), 0u);
  EXPECT_THROW(shipper.ship(false, std::chrono::milliseconds(50)), std::runtime_error);
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  first.join();
  EXPECT_EQ(shipper.offset(), 11u);
  EXPECT_EQ(shipper.ship(false, std::chrono::milliseconds(50)).read, 0u);
}

}  // namespace
}  // namespace tavoren::detail
