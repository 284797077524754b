#include "SharedModels/AppConfiguration.h"

#include "DecodingFailure.h"

#include <gtest/gtest.h>

using namespace joulix;

namespace {

// Each case installs a new bundle, so a value cached from an earlier read fails the next case.
TEST(AppConfiguration, IdentifiersDeriveFromInfoKeysThenBundleIdentifierThenDefault) {
    const auto prefix = [](InfoValue v) {
        return InfoDictionary{{"JLXBundleIdentifierPrefix", v}};
    };
    const auto label = [](InfoValue v) { return InfoDictionary{{"JLXDaemonLabel", v}}; };
    struct Case {
        std::optional<InfoDictionary> info;
        std::optional<std::string> identifier;
        std::string prefix, daemon, appIdentifier;
    } cases[] = {
        {std::nullopt, std::nullopt, "com.joulix", "com.joulix.metricsd", "com.joulix"},
        {prefix(" \n\u00a0"), " org.example.app\n", "org.example.app", "org.example.app.metricsd",
         "org.example.app"},
        {prefix(int64_t{42}), "org.example.app", "org.example.app", "org.example.app.metricsd",
         "org.example.app"},
        {prefix("\tnet.acme "), "org.example.app", "net.acme", "net.acme.metricsd",
         "org.example.app"},
        {label("  net.acme.helper \n"), std::nullopt, "com.joulix", "net.acme.helper",
         "com.joulix"},
        {label("   "), "  ", "com.joulix", "com.joulix.metricsd", "com.joulix"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.daemon);
        setMainBundle(std::make_shared<FixedMainBundle>(c.info, c.identifier));
        EXPECT_EQ(AppConfiguration::bundleIdentifierPrefix(), c.prefix);
        EXPECT_EQ(AppConfiguration::daemonBundleIdentifier(), c.daemon);
        EXPECT_EQ(AppConfiguration::daemonPlistName(), c.daemon + ".plist");
        EXPECT_EQ(AppConfiguration::Logging::subsystem(), c.prefix + ".runtime");
        EXPECT_EQ(AppConfiguration::appBundleIdentifier(), c.appIdentifier);
        EXPECT_EQ(BatteryServiceConstants::daemonServiceName(), c.daemon);
        EXPECT_EQ(BatteryServiceConstants::daemonPlistName(), c.daemon + ".plist");
    }
    setMainBundle(nullptr);
}

TEST(Updates, EnvironmentWinsEvenWhenInvalidAndBlankKeysAreAbsent) {
    const auto url = &AppConfiguration::Updates::feedURL;
    const auto key = &AppConfiguration::Updates::publicEDKey;
    const auto info = [](const char* name, InfoValue v) { return InfoDictionary{{name, v}}; };
    const InfoDictionary both{{"SUFeedURL", "https://e.com/a.xml"}, {"SUPublicEDKey", " iKey= "}};
    const std::string urlEnv = "JLX_UPDATE_FEED_URL", keyEnv = "JLX_SPARKLE_PUBLIC_ED_KEY";
    const std::tuple<decltype(url), Environment, std::optional<InfoDictionary>,
                     std::optional<std::string>>
        cases[] = {
            {url, {{urlEnv, "https://f.org/b.xml"}}, both, "https://f.org/b.xml"},
            {url, {{urlEnv, "not a url"}}, both, std::nullopt},
            {url, {{urlEnv, ""}}, both, std::nullopt},
            {url, {{urlEnv, " https://f.org/"}}, both, std::nullopt},
            {url, {}, both, "https://e.com/a.xml"},
            {url, {}, info("SUFeedURL", "https://exa mple.com"), std::nullopt},
            {url, {}, info("SUFeedURL", int64_t{1}), std::nullopt},
            {url, {}, std::nullopt, std::nullopt},
            {key, {{keyEnv, "\n envKey= \t"}}, both, "envKey="},
            {key, {{keyEnv, "  "}}, both, std::nullopt},
            {key, {}, both, "iKey="},
            {key, {}, info("SUPublicEDKey", "\u2028"), std::nullopt},
            {key, {}, info("SUPublicEDKey", 1.5), std::nullopt},
        };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& [read, environment, infoDictionary, expected] = cases[i];
        EXPECT_EQ(read(environment, infoDictionary), expected) << i;
    }
}

TEST(URLValidity, AcceptsURIReferencesOnly) {
    for (const char* valid :
         {"https://example.com/appcast.xml", "http://user:pw@[::1]:8080/a?b=c/d#frag",
          "file:///tmp/feed.xml", "feed.xml", "/absolute/path", "mailto:someone@example.com",
          "https://example.com/%20x", "a:b", "//host.example/path", "?query"}) {
        EXPECT_TRUE(isValidURL(valid)) << valid;
    }
    for (const char* invalid :
         {"", "not a url", "1http://x", "://x", "http://exa mple.com", "https://x.org/%zz",
          "https://x.org/%2", "https://x.org:80a/", "http://[::1/", "http://[]/", "x.org/<a>",
          "https://x.org/é", "a@b@c://d"}) {
        EXPECT_FALSE(isValidURL(invalid)) << invalid;
    }
}

TEST(ToolbarDisplaySettings, RoundTripsAndRequiresEveryKey) {
    const ToolbarDisplaySettings settings{true, false, true};
    EXPECT_EQ(ToolbarDisplaySettings::fromJSON(settings.toJSON()), settings);
    EXPECT_EQ(ToolbarDisplaySettings::fromJSON(
                  R"({"showWatts":false,"showColors":true,"showPercentage":false})"),
              (ToolbarDisplaySettings{false, true, false}));
    using Kind = DecodingError::Kind;
    const std::tuple<const char*, Kind, const char*> failures[] = {
        {R"({"showPercentage":true,"showColors":true})", Kind::keyNotFound, "showWatts"},
        {R"({"showPercentage":1,"showColors":true,"showWatts":true})", Kind::typeMismatch,
         "showPercentage"},
        {R"({"showPercentage":true,"showColors":null,"showWatts":true})", Kind::typeMismatch,
         "showColors"},
        {"[true,true,true]", Kind::typeMismatch, ""},
        {"{\"showWatts\":", Kind::dataCorrupted, ""},
    };
    for (const auto& [json, kind, keyPath] : failures) {
        // A lambda may capture a structured binding only from C++20 compilers newer than clang 14.
        EXPECT_EQ(decodingFailure([&text = json] { ToolbarDisplaySettings::fromJSON(text); }),
                  (DecodingFailure{kind, keyPath}))
            << json;
    }
}

}  // namespace
