// The engine's log stream: frames cut anywhere, timestamps, and a read of a
// container's log through the client.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_engine.h"
#include "tavoren/engine.h"

namespace tavoren::engine {
namespace {

using ::testing::HasSubstr;

std::string frame(int stream, const std::string& payload) {
  std::string out(1, static_cast<char>(stream));
  out.append(3, '\0');
  const auto n = static_cast<std::uint32_t>(payload.size());
  out += static_cast<char>(n >> 24);
  out += static_cast<char>((n >> 16) & 0xff);
  out += static_cast<char>((n >> 8) & 0xff);
  out += static_cast<char>(n & 0xff);
  return out + payload;
}

struct Seen {
  int stream;
  std::int64_t time_ns;
  std::string bytes;
  bool operator==(const Seen&) const = default;
};

std::vector<Seen> read_in_pieces(const std::string& stream, std::size_t piece) {
  std::vector<Seen> seen;
  LogFrameReader reader(true, [&](const LogEntry& e) {
    seen.push_back({e.stream, e.time_ns, std::string(e.bytes)});
  });
  for (std::size_t at = 0; at < stream.size(); at += piece) reader.feed(stream.substr(at, piece));
  EXPECT_TRUE(reader.complete());
  return seen;
}

TEST(EngineLogs, FramesCutAtAnyByteGiveTheSameEntries) {
  const std::string big(70000, 'x');  // longer than one read of the client
  const std::string stream = frame(1, "2024-05-01T10:00:00.000000001Z line one\n") +
                             frame(2, "2024-05-01T10:00:00.5Z oops\n") +
                             frame(1, "2024-05-01T10:00:01.000000000Z ") +  // an empty entry
                             frame(1, "2024-05-01T10:00:02.123456789Z " + big);
  const std::int64_t base = 1714557600LL * 1'000'000'000;
  const std::vector<Seen> expected = {{1, base + 1, "line one\n"},
                                      {2, base + 500'000'000, "oops\n"},
                                      {1, base + 1'000'000'000, ""},
                                      {1, base + 2'123'456'789, big}};
  for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{7}, std::size_t{8},
                            std::size_t{9}, std::size_t{4096}, stream.size()}) {
    EXPECT_EQ(read_in_pieces(stream, piece), expected) << "pieces of " << piece;
  }
  // Cut inside a frame: not complete.
  LogFrameReader reader(true, [](const LogEntry&) {});
  reader.feed(stream.substr(0, 12));
  EXPECT_FALSE(reader.complete());
}

TEST(EngineLogs, AStreamThatIsNotMultiplexedOrATimeThatIsNoTimeIsRefused) {
  LogFrameReader raw(false, [](const LogEntry&) {});
  EXPECT_THROW(raw.feed("hello, this is a terminal's stream\n"), Error);
  LogFrameReader timed(true, [](const LogEntry&) {});
  EXPECT_THROW(timed.feed(frame(1, "yesterday at noon\n")), Error);
}

TEST(EngineLogs, TimesReadAsTheEngineWritesThemAndWriteBackForSince) {
  EXPECT_EQ(parse_log_time("1970-01-01T00:00:00Z"), 0);
  EXPECT_EQ(parse_log_time("2024-05-01T10:00:00.1Z"), 1714557600LL * 1'000'000'000 + 100'000'000);
  // An offset, and more than nine decimals (cut, not rounded).
  EXPECT_EQ(parse_log_time("2024-05-01T12:00:00.0000000019+02:00"),
            1714557600LL * 1'000'000'000 + 1);
  for (const char* bad : {"2024-05-01 10:00:00Z", "2024-05-01T10:00:00", "2024-13-01T10:00:00Z",
                          "2024-05-01T10:00:00.Z", "2024-05-01T10:00:00Zjunk", ""}) {
    EXPECT_THROW(parse_log_time(bad), Error) << bad;
  }
  EXPECT_EQ(unix_time_text(1714557600LL * 1'000'000'000 + 5), "1714557600.000000005");
  EXPECT_EQ(unix_time_text(-1), "-1.999999999");
}

TEST(EngineLogs, AContainersLogIsReadFromAGivenTimeOnThroughTheClient) {
  testing::FakeEngine fake;
  fake.add({.id = "c1"});
  fake.append_log("c1", {{.time_ns = 1'000, .bytes = "first\n"},
                         {.time_ns = 2'000, .bytes = "second\n", .stream = 2},
                         {.time_ns = 3'000, .bytes = "third\n"}});
  Client client(fake.options());
  std::string text;
  client.read_logs("c1", {.since_ns = 2'000}, [&](const LogEntry& e) {
    text += std::to_string(e.time_ns) + " " + std::string(e.bytes);
  });
  EXPECT_EQ(text, "2000 second\n3000 third\n");
  EXPECT_THAT(fake.lines().back(), HasSubstr("since=0.000002000"));
  EXPECT_THAT(fake.lines().back(), HasSubstr("timestamps=1"));
  // What the sink throws ends the read and comes out as it was.
  EXPECT_THROW(
      client.read_logs("c1", {}, [](const LogEntry&) { throw std::logic_error("enough"); }),
      std::logic_error);
  EXPECT_THROW(client.read_logs("nope", {}, [](const LogEntry&) {}), ApiError);
}

}  // namespace
}  // namespace tavoren::engine
