#include "platform/desktop/url_opener.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/backend_environment.hpp"
#include "support/test_runtime.hpp"

namespace {

namespace fs = std::filesystem;
using platform::Url;

TEST(Url, AcceptsAbsoluteUrlsAndRejectsWhatCannotBeOne) {
    for (const char* valid :
         {"mailto:support@kestro.app", "https://kestro.app/download?v=1.2&x=%20y", "x-scheme+1.2:rest"}) {
        EXPECT_TRUE(Url::parse(valid).has_value()) << valid;
    }
    for (const char* invalid :
         {"", "mailto", ":no-scheme", "1http://x", "-e:x", "mailto:a b@c.d", "https://x/\n", "https://x/%zz",
          "https://x/%4", "https://x/\"quoted\"", "https://x/<y>", "mail_to:x"}) {
        EXPECT_FALSE(Url::parse(invalid).has_value()) << invalid;
    }
    EXPECT_EQ(Url::parse("MailTo:x")->scheme(), "mailto");
}

class RecordingOpener : public platform::UrlOpener {
public:
    std::vector<std::string> opened;
    void open(const Url& url) override { opened.push_back(url.text()); }
};

TEST(UrlOpener, AnInvalidLinkDoesNothing) {
    RecordingOpener opener;
    opener.openURLString("mailto:someone with spaces");
    opener.openURLString("mailto:support@kestro.app");
    EXPECT_EQ(opener.opened, (std::vector<std::string>{"mailto:support@kestro.app"}));
}

// A stub xdg-open first on PATH writes what it was given into a file.
TEST(XdgUrlOpener, HandsTheUrlToXdgOpenAsOneArgument) {
    support::TemporaryFolder dir;
    auto record = dir.path() / "opened.txt";
    std::ofstream(dir.path() / "xdg-open")
        << "#!/bin/sh\nprintf '%s|%s\\n' \"$#\" \"$1\" > '" << record.string() << ".tmp'\nmv '"
        << record.string() << ".tmp' '" << record.string() << "'\n";
    fs::permissions(dir.path() / "xdg-open", fs::perms::owner_all);
    std::string previousPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (dir.path().string() + ":" + previousPath).c_str(), 1);

    platform::XdgUrlOpener opener;
    opener.openURLString("mailto:support@kestro.app?subject=Hi%20there&x=$(touch%20/tmp/no)");
    bool ran = support::eventually([&] { return fs::exists(record); });
    ::setenv("PATH", previousPath.c_str(), 1);
    ASSERT_TRUE(ran);
    std::stringstream text;
    text << std::ifstream(record).rdbuf();
    EXPECT_EQ(text.str(), "1|mailto:support@kestro.app?subject=Hi%20there&x=$(touch%20/tmp/no)\n");
}

}  // namespace
