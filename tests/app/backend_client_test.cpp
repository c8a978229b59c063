#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "app/app_settings.hpp"
#include "app/backend_config.hpp"
#include "app/menu_bar_state_manager.hpp"
#include "app/network_service.hpp"
#include "app/session_token.hpp"
#include "app/usage_manager.hpp"
#include "support/backend_environment.hpp"

namespace {

using kestro::BackendRequest;
using kestro::HTTPMethod;
using kestro::NetworkService;
using kestro::TokenError;
using support::ScriptedReply;

class SessionFetch : public ::testing::Test {
protected:
    // The credential, or the error's text.
    std::string fetch() {
        try {
            return "credential " + support::runToEnd(io, kestro::fetchSessionToken(env.network, &usage));
        } catch (const TokenError& error) {
            lastKind = error.kind();
            return error.what();
        }
    }

    boost::asio::io_context io;
    support::BackendEnvironment env;
    kestro::UsageManager usage;
    std::optional<TokenError::Kind> lastKind;
};

TEST_F(SessionFetch, ObjectWithCountsGivesTheTrimmedSecretAndUpdatesUsedThenTotal) {
    env.storeCredential();
    env.backend.enqueue("/session", ScriptedReply::json(200, R"({"client_secret":"  ek_123 \n","used":3,"total":10,"x":1})"));
    std::vector<std::string> changes;
    auto a = usage.usedCalls.observe([&](auto value) { changes.push_back("used " + std::to_string(value)); });
    auto b = usage.totalCalls.observe([&](auto value) { changes.push_back("total " + std::to_string(value)); });

    EXPECT_EQ(fetch(), "credential ek_123");
    EXPECT_EQ(changes, (std::vector<std::string>{"used 3", "total 10"}));
}

TEST_F(SessionFetch, OtherReplyBodiesBecomeTheCredentialAsTextAndLeaveTheCounts) {
    env.storeCredential();
    for (const char* body : {R"({"client_secret":"s","used":3})", R"({"client_secret":{"value":"s"},"used":3,"total":4})",
                             R"({"client_secret":"s","used":3.5,"total":4})"}) {
        env.backend.enqueue("/session", ScriptedReply::json(200, body));
        EXPECT_EQ(fetch(), std::string("credential ") + body);
    }
    env.backend.enqueue("/session", ScriptedReply::text(200, "plain-token\n"));
    EXPECT_EQ(fetch(), "credential plain-token");
    EXPECT_EQ(usage.usedCalls.get(), -1);
    EXPECT_EQ(usage.totalCalls.get(), -1);
}

TEST_F(SessionFetch, RepliesWithoutAUsableCredentialFailAsNetworkErrors) {
    env.storeCredential();
    const std::vector<std::pair<ScriptedReply, std::string>> cases{
        {ScriptedReply::text(200, ""), "Network error: Invalid token response"},
        {ScriptedReply::text(200, " \n\t "), "Network error: Invalid token response"},
        {ScriptedReply::text(204, ""), "Network error: Invalid token response"},
        {ScriptedReply{302, "elsewhere", {{"Location", "/other"}}, {}, false}, "Network error: Invalid token response"},
        {ScriptedReply::text(200, "\xff\xfe token"), "Network error: Invalid token response"},
        {ScriptedReply::text(200, "first\r\nX-Injected: 1"), "Network error: Invalid token response"},
        {ScriptedReply::json(200, R"({"client_secret":" ","used":1,"total":2})"), "Network error: Invalid token response"},
        {ScriptedReply::text(401, "no"), "Network error: HTTP error: 401"},
        {ScriptedReply::text(500, "down"), "Network error: HTTP error: 500"},
    };
    for (const auto& [reply, text] : cases) {
        SCOPED_TRACE(std::to_string(reply.status) + " " + reply.body);
        env.backend.enqueue("/session", reply);
        lastKind.reset();
        EXPECT_EQ(fetch(), text);
        EXPECT_EQ(lastKind, TokenError::Kind::networkError);
    }
    EXPECT_TRUE(env.backend.requestsTo("/other").empty());  // the redirect was not followed
    // Standing rather than queued: libcurl retries once when a reused connection drops.
    env.backend.setReply("/session", ScriptedReply::dropped());
    EXPECT_EQ(fetch(), "Network error: The network connection was lost.");
}

TEST_F(SessionFetch, SendsOneGetWithExactlyTheBearerHeader) {
    env.storeCredential("  abc.def-ghi \n");  // trimmed when stored
    env.backend.enqueue("/session", ScriptedReply::text(200, "token"));
    fetch();
    auto requests = env.backend.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/session");
    EXPECT_EQ(requests[0].header("Authorization"), "Bearer abc.def-ghi");
    EXPECT_EQ(requests[0].headerCount("Authorization"), 1u);
    EXPECT_EQ(requests[0].header("Content-Type"), std::nullopt);
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(SessionFetch, MissingOrUnusableCredentialSendsNothing) {
    fetch();
    EXPECT_EQ(lastKind, TokenError::Kind::missingCredential);
    for (auto stored : {platform::UserDefaults::Value(std::string("abc\r\nX-Injected: 1")),
                         platform::UserDefaults::Value(std::int64_t{42})}) {
        lastKind.reset();
        env.defaults.set(std::string(kestro::credentialKey), stored);
        fetch();
        EXPECT_EQ(lastKind, TokenError::Kind::missingCredential);
    }
    EXPECT_TRUE(env.backend.requests().empty());
}

TEST(NetworkService, AnOpenRequestNeedsNoCredentialAndAnInvalidURLSendsNothing) {
    boost::asio::io_context io;
    support::BackendEnvironment env;
    env.backend.enqueue("/open", ScriptedReply::text(201, "created"));
    auto reply = support::runToEnd(io, env.network.request(BackendRequest{"open", HTTPMethod::get, 30, false, std::nullopt}));
    EXPECT_EQ(reply.status, 201);
    EXPECT_EQ(reply.body, "created");
    EXPECT_EQ(env.backend.requestsTo("/open").at(0).header("Authorization"), std::nullopt);

    kestro::NetworkService broken(env.http, env.defaults, "not a url/");
    try {
        support::runToEnd(io, broken.request(BackendRequest{"open", HTTPMethod::get, 30, false, std::nullopt}));
        ADD_FAILURE() << "an invalid URL must fail";
    } catch (const NetworkService::NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkService::NetworkError::Kind::invalidURL);
        EXPECT_STREQ(error.what(), "Invalid URL");
    }
    EXPECT_EQ(env.backend.requests().size(), 1u);
}

// A backend that answers without end must not grow the app: past 1 MiB a reply is invalid, even
// one that would decode (JSON padded with white space).
TEST(NetworkService, RepliesPastOneMebibyteAreInvalidResponses) {
    // Declared first so that it outlives the client's worker, which posts the completions to it.
    boost::asio::io_context io;
    support::BackendEnvironment env;
    env.storeCredential();
    const std::string counts = R"({"used":1,"total":5})";
    const std::size_t bound = std::size_t{1} << 20;
    env.backend.enqueue("/usage", ScriptedReply::json(200, counts + std::string(bound - counts.size(), ' ')));
    env.backend.enqueue("/usage", ScriptedReply::json(200, counts + std::string(bound + 1 - counts.size(), ' ')));
    auto usage = support::runToEnd(io, kestro::fetchUsage(env.network));
    EXPECT_EQ(usage.total, 5) << "exactly 1 MiB is still read";
    try {
        support::runToEnd(io, kestro::fetchUsage(env.network));
        ADD_FAILURE() << "a reply past 1 MiB was read";
    } catch (const NetworkService::NetworkError& error) {
        EXPECT_EQ(error.kind(), NetworkService::NetworkError::Kind::invalidResponse);
        EXPECT_STREQ(error.what(), "Invalid response from server");
    }
}

TEST(BackendConfiguration, BaseURLComesFromTheEnvironmentThenTheDefaultsThenTheBuild) {
    support::TemporaryFolder folder;
    platform::UserDefaults defaults(folder.path() / "defaults.json");
    const char* saved = std::getenv("KESTRO_BACKEND_URL");
    std::string previous = saved ? saved : "";
    ::unsetenv("KESTRO_BACKEND_URL");

    EXPECT_EQ(kestro::backendBaseURL(defaults), kestro::defaultBackendBaseURL);
    defaults.set(std::string(kestro::backendURLKey), "https://stored.example/api");
    EXPECT_EQ(kestro::backendBaseURL(defaults), "https://stored.example/api/");
    ::setenv("KESTRO_BACKEND_URL", "http://127.0.0.1:9/", 1);
    EXPECT_EQ(kestro::backendBaseURL(defaults), "http://127.0.0.1:9/");

    if (saved) ::setenv("KESTRO_BACKEND_URL", previous.c_str(), 1); else ::unsetenv("KESTRO_BACKEND_URL");
}

TEST(BackendConfiguration, SetCredentialStoresOneTrimmedLineOrNothing) {
    support::TemporaryFolder folder;
    platform::UserDefaults defaults(folder.path() / "defaults.json");
    auto store = [&](const std::string& text) {
        std::istringstream in(text);
        kestro::storeCredentialFromStream(in, defaults);
    };

    store("  tok-1\n");
    EXPECT_EQ(kestro::storedCredential(defaults), "tok-1");
    for (const char* refused : {" \n", "two\nlines", "tab\there"}) EXPECT_THROW(store(refused), kestro::CredentialError);
    EXPECT_EQ(kestro::storedCredential(defaults), "tok-1");
}

// The menu's hint must name a command the user can run: `kestro` when that is this program on
// PATH, else the program's own path.
TEST(BackendConfiguration, TheCredentialCommandIsKestroOnlyWhenPathFindsThisProgram) {
    support::TemporaryFolder folder;
    namespace fs = std::filesystem;
    const fs::path bin = folder.path() / "bin", build = folder.path() / "my build", other = folder.path() / "other";
    for (const auto& dir : {bin, build, other}) fs::create_directories(dir);
    for (const auto& program : {bin / "kestro", build / "kestro", other / "kestro"}) std::ofstream(program) << "#!";
    fs::create_symlink(bin / "kestro", other / "kestro-link");
    fs::create_directories(folder.path() / "linked");
    fs::create_symlink(bin / "kestro", folder.path() / "linked" / "kestro");
    struct Case {
        fs::path executable;
        std::string searchPath;
        std::string expected;
    };
    const std::string installed = "kestro --set-credential";
    const Case cases[] = {
        {bin / "kestro", bin.string(), installed},
        {bin / "kestro", "/nonexistent::" + other.string() + ":" + bin.string(), installed},
        {bin / "kestro", (folder.path() / "linked").string(), installed},
        {bin / "kestro", other.string(), (bin / "kestro").string() + " --set-credential"},
        {bin / "kestro", "", (bin / "kestro").string() + " --set-credential"},
        {build / "kestro", bin.string(), "'" + (build / "kestro").string() + "' --set-credential"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.searchPath);
        EXPECT_EQ(kestro::credentialCommand(c.executable, c.searchPath), c.expected);
    }
}

TEST(BackendText, TrimmingRemovesUnicodeSpacesAndLineBreaksAtTheEndsOnly) {
    EXPECT_EQ(kestro::trimWhitespace("\u00A0\t a b \u2028\r\n"), "a b");
    EXPECT_EQ(kestro::trimWhitespace("caf\u00E9"), "caf\u00E9");
    EXPECT_EQ(kestro::trimWhitespace(" \n "), "");
    EXPECT_TRUE(kestro::isValidUTF8("caf\u00E9 \U0001F600"));
    EXPECT_FALSE(kestro::isValidUTF8("\xC0\xAF"));      // overlong
    EXPECT_FALSE(kestro::isValidUTF8("\xED\xA0\x80"));  // surrogate
    EXPECT_FALSE(kestro::isValidUTF8("\xE2\x82"));      // cut short
}

}  // namespace
