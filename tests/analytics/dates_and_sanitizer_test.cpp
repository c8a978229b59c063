#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <locale>
#include <thread>

#include "analytics/util/dates.hpp"
#include "analytics/util/file_helpers.hpp"
#include "analytics/util/internal_plover_error.hpp"
#include "analytics/util/sanitizer.hpp"
#include "analytics_fixtures.hpp"

namespace {

using namespace std::chrono_literals;
using plover::Date;
using plover::Properties;
using plover::Value;
namespace fs = std::filesystem;
namespace json = boost::json;

Date at(std::int64_t milliseconds) { return Date(std::chrono::milliseconds(milliseconds)); }

// 2024-03-05T07:08:09.123Z
constexpr std::int64_t march5 = 1709622489123;

TEST(Dates, WireTextIsUtcWithThreeFractionDigits) {
    struct Case {
        std::int64_t ms;
        const char* text;
        const char* seconds;
    };
    const Case cases[] = {
        {march5, "2024-03-05T07:08:09.123Z", "2024-03-05T07:08:09Z"},
        {0, "1970-01-01T00:00:00.000Z", "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59.999Z", "1969-12-31T23:59:59Z"},
        {951782400000, "2000-02-29T00:00:00.000Z", "2000-02-29T00:00:00Z"},
        {9214646400000, "2262-01-01T00:00:00.000Z", "2262-01-01T00:00:00Z"},
        {-9214560000000, "1678-01-01T00:00:00.000Z", "1678-01-01T00:00:00Z"},
    };
    for (auto& c : cases) {
        EXPECT_EQ(plover::toISO8601String(at(c.ms)), c.text);
        EXPECT_EQ(plover::toISO8601SecondsString(at(c.ms)), c.seconds);
        EXPECT_EQ(plover::toISO8601Date(c.text), at(c.ms)) << c.text;
    }
    // Below the millisecond is cut off, not rounded.
    EXPECT_EQ(plover::toISO8601String(at(march5) + 999us), "2024-03-05T07:08:09.123Z");
}

TEST(Dates, ParserTakesOnlyTheMillisecondAndSecondForms) {
    EXPECT_EQ(plover::toISO8601Date("2024-03-05T07:08:09.123Z"), at(march5));
    EXPECT_EQ(plover::toISO8601Date("2024-03-05T07:08:09Z"), at(march5 - 123));
    for (const char* bad : {"2024-03-05T07:08:09+00:00", "2024-03-05T07:08:09.123", "2024-03-05T07:08:09",
                            "2024-03-05 07:08:09Z", "2024-03-05T07:08:09.12Z", "2024-03-05T07:08:09.1234Z",
                            "2024-13-05T07:08:09Z", "2023-02-29T07:08:09Z", "2024-03-05T24:00:00Z",
                            "2024-03-05T07:60:09Z", "2024-03-05T07:08:60Z", "２024-03-05T07:08:09Z",
                            "2024-03-05T07:08:09.123z", "+024-03-05T07:08:09Z", "",
                            // Outside what a point in time holds (years 1677 to 2262).
                            "9999-12-31T23:59:59.999Z", "0000-01-01T00:00:00Z", "2262-04-12T00:00:00.000Z",
                            "1677-09-21T00:00:00.000Z"}) {
        EXPECT_FALSE(plover::toISO8601Date(bad)) << bad;
    }
}

// A locale whose numbers look nothing like the C locale's.
struct OddNumbers : std::numpunct<char> {
    char do_decimal_point() const override { return ','; }
    char do_thousands_sep() const override { return '.'; }
    std::string do_grouping() const override { return "\1"; }
};

TEST(Dates, RoundTripUnderAFarTimeZoneAndAForeignLocale) {
    support::TemporaryFolder folder;
    std::string command = "localedef -i de_DE -f UTF-8 " + (folder.path() / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    bool haveGerman = std::system(command.c_str()) == 0;
    std::string previousTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    std::string previousLocPath = std::getenv("LOCPATH") ? std::getenv("LOCPATH") : "";
    ::setenv("TZ", "Pacific/Chatham", 1);
    ::tzset();
    if (haveGerman) {
        ::setenv("LOCPATH", folder.path().c_str(), 1);
        haveGerman = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    }
    auto previousGlobal = std::locale::global(std::locale(std::locale::classic(), new OddNumbers));

    std::time_t probe = 1709622489;
    std::tm local{};
    ::localtime_r(&probe, &local);
    EXPECT_EQ(local.tm_hour, 20) << "Pacific/Chatham is UTC+13:45 in March";

    for (std::int64_t ms : {march5, std::int64_t{0}, std::int64_t{-1}, std::int64_t{1719792000456}}) {
        auto text = plover::toISO8601String(at(ms));
        EXPECT_EQ(plover::toISO8601Date(text), at(ms)) << text;
    }
    EXPECT_EQ(plover::toISO8601String(at(march5)), "2024-03-05T07:08:09.123Z");

    std::locale::global(previousGlobal);
    std::setlocale(LC_ALL, "C");
    if (previousTz.empty()) ::unsetenv("TZ"); else ::setenv("TZ", previousTz.c_str(), 1);
    ::tzset();
    if (previousLocPath.empty()) ::unsetenv("LOCPATH"); else ::setenv("LOCPATH", previousLocPath.c_str(), 1);
    if (!haveGerman) GTEST_SKIP() << "no German locale could be built with localedef; checked with a C++ locale only";
}

TEST(Dates, MillisecondsSince1970TruncateTowardZero) {
    EXPECT_EQ(plover::dateToMillis(Date(1500ms)), 1500);
    EXPECT_EQ(plover::dateToMillis(Date(1500ms) + 999us), 1500);
    EXPECT_EQ(plover::dateToMillis(Date(-1500ms) - 999us), -1500);
}

TEST(PropertiesSanitizer, KeepsJsonConvertsUrlsAndDatesAndDropsTheRestWithALogLine) {
    analytics_test::LogCapture log;
    EXPECT_EQ(plover::sanitizeDictionary(std::nullopt), std::nullopt);
    EXPECT_EQ(plover::sanitizeDictionary(Properties{}), std::nullopt);
    EXPECT_TRUE(log.lines().empty());

    auto object = plover::OpaqueObject{std::make_shared<int>(3)};
    auto nested = json::parse(R"({"a":"x","b":[1,2.5,{"c":null}],"d":true})");
    Properties input{
        {"text", "hi"},
        {"flag", false},
        {"count", 42},
        {"ratio", 0.25},
        {"nothing", nullptr},
        {"nested", nested},
        {"values", Value::Array{1, "two", Value::Object{{"three", 3}}}},
        {"link", *plover::Url::parse("https://example.com/a?b=c")},
        {"when", at(march5)},
        {"object", object},
        {"dates", Value::Array{at(march5)}},
        {"inside", Value::Object{{"link", *plover::Url::parse("https://example.com")}}},
        {"nan", std::numeric_limits<double>::quiet_NaN()},
        {"infinite", -std::numeric_limits<double>::infinity()},
        {"nestedNan", json::value(json::array{1, std::numeric_limits<double>::infinity()})},
    };
    auto output = plover::sanitizeDictionary(input);
    ASSERT_TRUE(output);
    Properties expected{
        {"text", "hi"},
        {"flag", false},
        {"count", 42},
        {"ratio", 0.25},
        {"nothing", nullptr},
        {"nested", nested},
        {"values", json::parse(R"([1,"two",{"three":3}])")},
        {"link", "https://example.com/a?b=c"},
        {"when", "2024-03-05T07:08:09Z"},
    };
    EXPECT_EQ(*output, expected);
    auto lines = log.lines();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[Plover] property: dates isn't serializable, dropping the item",
                         "[Plover] property: infinite isn't serializable, dropping the item",
                         "[Plover] property: inside isn't serializable, dropping the item",
                         "[Plover] property: nan isn't serializable, dropping the item",
                         "[Plover] property: nestedNan isn't serializable, dropping the item",
                         "[Plover] property: object isn't serializable, dropping the item",
                     }));
    // Everything left can be written as JSON.
    EXPECT_TRUE(plover::propertiesToJson(*output));

    log.clear();
    auto onlyObject = plover::sanitizeDictionary(Properties{{"thing", object}});
    ASSERT_TRUE(onlyObject);
    EXPECT_TRUE(onlyObject->empty());
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST(PropertiesSanitizer, SerialisableMeansJsonWithFiniteNumbersOnly) {
    struct Case {
        const char* name;
        Value value;
        bool serialisable;
    };
    const Case cases[] = {
        {"string", "a", true},
        {"bool", true, true},
        {"int", -3, true},
        {"unsigned", 18446744073709551615ull, true},
        {"double", 1e300, true},
        {"null", nullptr, true},
        {"json object", json::parse(R"({"a":{"b":[]}})"), true},
        {"empty array", Value::Array{}, true},
        {"nan", std::nan(""), false},
        {"infinity", std::numeric_limits<double>::infinity(), false},
        {"url", *plover::Url::parse("file:///tmp"), false},
        {"date", at(0), false},
        {"object", plover::OpaqueObject{}, false},
        {"object in a dictionary", Value::Object{{"a", plover::OpaqueObject{}}}, false},
    };
    for (auto& c : cases) EXPECT_EQ(plover::isJSONSerializable(c.value), c.serialisable) << c.name;
}

TEST(FileHelpers, DeleteCreateAndTestFoldersQuietlyAndSafely) {
    support::TemporaryFolder folder;
    analytics_test::LogCapture log;
    auto missing = folder.path() / "missing";
    plover::deleteSafely(missing);
    EXPECT_FALSE(plover::directoryExists(missing));

    auto file = folder.path() / "file";
    std::ofstream(file) << "x";
    plover::createDirectoryIfNeeded(file);
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_FALSE(plover::directoryExists(file));

    auto deep = folder.path() / "a" / "b" / "c";
    plover::createDirectoryIfNeeded(deep);
    EXPECT_TRUE(plover::directoryExists(deep));
    std::ofstream(deep / "inside") << "y";
    plover::deleteSafely(folder.path() / "a");
    EXPECT_FALSE(fs::exists(folder.path() / "a"));

    fs::create_symlink(folder.path() / "nowhere", folder.path() / "dangling");
    plover::deleteSafely(folder.path() / "dangling");
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder.path() / "dangling")));
    EXPECT_TRUE(log.lines().empty());

    // A folder that cannot be made is logged, not thrown.
    plover::createDirectoryIfNeeded(file / "below");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].rfind("[Plover] Error creating storage directory: ", 0), 0u) << log.lines()[0];
}

// The stores read what they find on disk no further than their bound, whatever the file claims
// to be: a pipe has no size until it is read.
TEST(FileHelpers, AFileIsReadUpToItsBoundAndNoFurther) {
    support::TemporaryFolder folder;
    std::error_code error;
    auto atBound = folder.path() / "ten";
    std::ofstream(atBound) << "0123456789";
    EXPECT_EQ(plover::readFileAtMost(atBound, 10, error), "0123456789");
    EXPECT_FALSE(error);

    auto past = folder.path() / "eleven";
    std::ofstream(past) << "0123456789a";
    EXPECT_EQ(plover::readFileAtMost(past, 10, error), std::nullopt);
    EXPECT_EQ(error, std::errc::file_too_large);

    error.clear();
    EXPECT_EQ(plover::readFileAtMost(folder.path() / "missing", 10, error), std::nullopt);
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);

    auto pipe = folder.path() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    // One write, within the pipe's atomic size: it is over before the reader gives up.
    std::thread writer([&] { std::ofstream(pipe) << std::string(4000, 'x'); });
    error.clear();
    EXPECT_EQ(plover::readFileAtMost(pipe, 1000, error), std::nullopt);
    EXPECT_EQ(error, std::errc::file_too_large);
    writer.join();
}

TEST(InternalPloverError, TextEndsWithTheModuleFileAndLine) {
    int line = __LINE__ + 1;
    plover::InternalPloverError error("Something failed.");
    EXPECT_EQ(error.description(),
              "Something failed. (Plover/dates_and_sanitizer_test.cpp:" + std::to_string(line) + ")");
    EXPECT_STREQ(error.what(), error.description().c_str());
}

}  // namespace
