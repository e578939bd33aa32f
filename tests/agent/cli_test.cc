// The command-line reading every subcommand shares, on CLI11.
#include "cli.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support.h"

namespace tavoren::agent {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::ScopedEnv;

const std::vector<OptionDef> kOptions = {
    {"--backend", true}, {"--param", true, true}, {"--json", false}, {"--follow", false, true}};

TEST(ParseArgs, ReadsOptionsInBothFormsAndKeepsArgumentsInOrder) {
  ParsedArgs parsed = parse_args({"first", "--backend=db", "--param", "a=1", "-1", "-", "",
                                  "--param=b=2", "-.5", "--json", "--", "--json", "-x"},
                                 kOptions);
  EXPECT_THAT(parsed.positionals, ElementsAre("first", "-1", "-", "", "-.5", "--json", "-x"));
  EXPECT_EQ(parsed.value("--backend"), "db");
  EXPECT_THAT(parsed.values("--param"), ElementsAre("a=1", "b=2"));
  EXPECT_TRUE(parsed.has("--json"));
  EXPECT_FALSE(parsed.has("--follow"));
  EXPECT_FALSE(parsed.help);
}

TEST(ParseArgs, AValueMayLookLikeAnOptionAndHelpIsAFlagAnywhere) {
  ParsedArgs parsed = parse_args({"--backend", "--json", "ID", "-h"}, kOptions);
  EXPECT_EQ(parsed.value("--backend"), "--json");
  EXPECT_FALSE(parsed.has("--json"));
  EXPECT_THAT(parsed.positionals, ElementsAre("ID"));
  EXPECT_TRUE(parsed.help);
  EXPECT_TRUE(parse_args({"--help"}, kOptions).help);
  ParsedArgs repeated = parse_args({"--follow", "--follow"}, kOptions);
  EXPECT_EQ(repeated.values("--follow").size(), 2u);
}

TEST(ParseArgs, MisuseIsAUsageErrorNamingTheOption) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  for (const Case& c :
       std::vector<Case>{{{"--frobnicate"}, "unknown option --frobnicate"},
                         {{"--frob=1"}, "unknown option --frob"},
                         {{"-q"}, "unknown option -q"},
                         {{"--backend"}, "option --backend needs a value"},
                         {{"--json=yes"}, "option --json takes no value"},
                         {{"--json", "--json"}, "option --json given twice"},
                         {{"--backend", "a", "--backend=b"}, "option --backend given twice"}}) {
    try {
      parse_args(c.args, kOptions);
      ADD_FAILURE() << "accepted: " << ::testing::PrintToString(c.args);
    } catch (const UsageError& e) {
      EXPECT_EQ(e.what(), c.message) << ::testing::PrintToString(c.args);
    }
  }
}

// The backend a command line names, TAVOREN_BACKEND set to `env`.
BackendLocation location_of(const std::vector<std::string>& args,
                            std::optional<std::string> env = std::nullopt) {
  ScopedEnv backend("TAVOREN_BACKEND", std::move(env));
  ScopedEnv ca("TAVOREN_BACKEND_CA", std::nullopt);
  return backend_location(parse_args(args, {backend_option(), backend_ca_option()}));
}

TEST(BackendLocation, SeveralServersComeRepeatedOrCommaSeparatedTheFirstNamedFirst) {
  const BackendLocation repeated =
      location_of({"--backend", "https://a.example:8443", "--backend=https://b.example:8443",
                   "--backend-ca", "ca.pem"});
  EXPECT_EQ(repeated.url, "https://a.example:8443");
  EXPECT_THAT(repeated.fallback_urls, ElementsAre("https://b.example:8443"));
  EXPECT_EQ(repeated.ca_file, "ca.pem");

  // Lists and repeats mix; blanks around the commas do not count.
  const BackendLocation mixed =
      location_of({"--backend", "https://c.example, https://a.example:8443", "--backend",
                   "http://127.0.0.1:9"});
  EXPECT_EQ(mixed.url, "https://c.example");
  EXPECT_THAT(mixed.fallback_urls, ElementsAre("https://a.example:8443", "http://127.0.0.1:9"));

  // The environment names several servers by a list; --backend overrides it.
  const BackendLocation from_env = location_of({}, "https://b.example,https://a.example");
  EXPECT_EQ(from_env.url, "https://b.example");
  EXPECT_THAT(from_env.fallback_urls, ElementsAre("https://a.example"));
  const BackendLocation overridden =
      location_of({"--backend", "https://z.example"}, "https://b.example,https://a.example");
  EXPECT_EQ(overridden.url, "https://z.example");
  EXPECT_THAT(overridden.fallback_urls, IsEmpty());

  // The client gets them all, in order, plain HTTP allowed only when a
  // loopback server was named so.
  const backend::RemoteOptions options = remote_options(mixed, {"AK", "SK"});
  EXPECT_EQ(options.base_url, "https://c.example");
  EXPECT_EQ(options.fallback_urls, mixed.fallback_urls);
  EXPECT_TRUE(options.allow_plain_http);
  EXPECT_FALSE(remote_options(repeated, {"AK", "SK"}).allow_plain_http);
}

TEST(BackendLocation, OneServerOrOneDatabaseFileAsBefore) {
  const BackendLocation server = location_of({"--backend", "https://a.example:8443"});
  EXPECT_EQ(server.url, "https://a.example:8443");
  EXPECT_THAT(server.fallback_urls, IsEmpty());

  // A path is the embedded backend's file, commas and all.
  const BackendLocation file = location_of({"--backend", "/var/tmp/a,b.db"});
  EXPECT_FALSE(file.url.has_value());
  EXPECT_EQ(file.database, "/var/tmp/a,b.db");
  EXPECT_EQ(location_of({}, "/srv/agent.db").database, "/srv/agent.db");
}

TEST(BackendLocation, AnUnclearListIsAUsageErrorBeforeAnythingIsReached) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> env;
    std::string says;
  };
  for (const Case& c : std::vector<Case>{
           {{"--backend", "https://a.example,/srv/agent.db"}, {}, "not both"},
           {{"--backend", "/srv/agent.db", "--backend", "https://a.example"}, {}, "not both"},
           {{"--backend", "/srv/a.db", "--backend", "/srv/b.db"}, {}, "one database file"},
           {{"--backend", "https://a.example,,https://b.example"}, {}, "an empty backend server"},
           {{}, "https://a.example,", "an empty backend server"},
           {{"--backend", "https://a.example", "--backend", "https://a.example"},
            {},
            "one backend server twice"},
           // Every server of the list is reached over TLS unless it is on this host.
           {{"--backend", "http://127.0.0.1:9,http://192.0.2.10:8080"}, {}, "https://"}}) {
    try {
      location_of(c.args, c.env);
      ADD_FAILURE() << "accepted: " << ::testing::PrintToString(c.args) << " "
                    << c.env.value_or("");
    } catch (const UsageError& e) {
      EXPECT_THAT(e.what(), ::testing::HasSubstr(c.says)) << ::testing::PrintToString(c.args);
    }
  }
}

}  // namespace
}  // namespace tavoren::agent
