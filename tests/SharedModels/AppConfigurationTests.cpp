#include "SharedModels/AppConfiguration.h"
#include "SharedModels/DecodingError.h"

#include <gtest/gtest.h>

using namespace joulix;

namespace {

class AppConfigurationTest : public ::testing::Test {
  protected:
    void TearDown() override { setMainBundle(nullptr); }
    static void installBundle(std::optional<InfoDictionary> info,
                              std::optional<std::string> identifier) {
        setMainBundle(std::make_shared<FixedMainBundle>(std::move(info), std::move(identifier)));
    }
};

TEST_F(AppConfigurationTest, IdentifiersDeriveFromInfoKeysThenBundleIdentifierThenDefault) {
    struct Case {
        const char* name;
        std::optional<InfoDictionary> info;
        std::optional<std::string> identifier;
        std::string prefix, daemon, plist, subsystem, appIdentifier;
    } cases[] = {
        {"bare executable", std::nullopt, std::nullopt, "com.joulix", "com.joulix.metricsd",
         "com.joulix.metricsd.plist", "com.joulix.runtime", "com.joulix"},
        {"blank prefix value", InfoDictionary{{"JLXBundleIdentifierPrefix", " \n\u00a0"}},
         " org.example.app\n", "org.example.app", "org.example.app.metricsd",
         "org.example.app.metricsd.plist", "org.example.app.runtime", "org.example.app"},
        {"number prefix value", InfoDictionary{{"JLXBundleIdentifierPrefix", int64_t{42}}},
         "org.example.app", "org.example.app", "org.example.app.metricsd",
         "org.example.app.metricsd.plist", "org.example.app.runtime", "org.example.app"},
        {"trimmed prefix beats identifier",
         InfoDictionary{{"JLXBundleIdentifierPrefix", "\tnet.acme "}}, "org.example.app",
         "net.acme", "net.acme.metricsd", "net.acme.metricsd.plist", "net.acme.runtime",
         "org.example.app"},
        {"daemon label with blanks", InfoDictionary{{"JLXDaemonLabel", "  net.acme.helper \n"}},
         std::nullopt, "com.joulix", "net.acme.helper", "net.acme.helper.plist",
         "com.joulix.runtime", "com.joulix"},
        {"blank daemon label and identifier", InfoDictionary{{"JLXDaemonLabel", "   "}}, "  ",
         "com.joulix", "com.joulix.metricsd", "com.joulix.metricsd.plist", "com.joulix.runtime",
         "com.joulix"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        installBundle(c.info, c.identifier);
        EXPECT_EQ(AppConfiguration::bundleIdentifierPrefix(), c.prefix);
        EXPECT_EQ(AppConfiguration::daemonBundleIdentifier(), c.daemon);
        EXPECT_EQ(AppConfiguration::daemonPlistName(), c.plist);
        EXPECT_EQ(AppConfiguration::Logging::subsystem(), c.subsystem);
        EXPECT_EQ(AppConfiguration::appBundleIdentifier(), c.appIdentifier);
        EXPECT_EQ(BatteryServiceConstants::daemonServiceName(), c.daemon);
        EXPECT_EQ(BatteryServiceConstants::daemonPlistName(), c.plist);
    }
}

TEST_F(AppConfigurationTest, DerivedValuesFollowTheBundleOnEveryRead) {
    installBundle(std::nullopt, "org.first");
    EXPECT_EQ(AppConfiguration::daemonBundleIdentifier(), "org.first.metricsd");
    installBundle(std::nullopt, "org.second");
    EXPECT_EQ(AppConfiguration::daemonBundleIdentifier(), "org.second.metricsd");
}

TEST(Updates, FeedURLPrefersTheEnvironmentEvenWhenItIsInvalid) {
    const InfoDictionary validInfo{{"SUFeedURL", "https://example.com/appcast.xml"}};
    struct Case {
        const char* name;
        Environment environment;
        std::optional<InfoDictionary> info;
        std::optional<std::string> expected;
    } cases[] = {
        {"environment URL",
         {{"JLX_UPDATE_FEED_URL", "https://feeds.example.org/a.xml"}},
         validInfo,
         "https://feeds.example.org/a.xml"},
        {"invalid environment URL",
         {{"JLX_UPDATE_FEED_URL", "not a url"}},
         validInfo,
         std::nullopt},
        {"empty environment URL", {{"JLX_UPDATE_FEED_URL", ""}}, validInfo, std::nullopt},
        {"environment value is not trimmed",
         {{"JLX_UPDATE_FEED_URL", " https://x.org/"}},
         validInfo,
         std::nullopt},
        {"Info URL", {}, validInfo, "https://example.com/appcast.xml"},
        {"invalid Info URL",
         {},
         InfoDictionary{{"SUFeedURL", "https://exa mple.com"}},
         std::nullopt},
        {"Info number", {}, InfoDictionary{{"SUFeedURL", int64_t{1}}}, std::nullopt},
        {"no Info dictionary", {}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AppConfiguration::Updates::feedURL(c.environment, c.info), c.expected);
    }
}

TEST(Updates, PublicEDKeyIsTrimmedAndBlankIsAbsent) {
    const InfoDictionary info{{"SUPublicEDKey", " infoKey= "}};
    struct Case {
        const char* name;
        Environment environment;
        std::optional<InfoDictionary> info;
        std::optional<std::string> expected;
    } cases[] = {
        {"environment key", {{"JLX_SPARKLE_PUBLIC_ED_KEY", "\n envKey= \t"}}, info, "envKey="},
        {"blank environment key hides Info",
         {{"JLX_SPARKLE_PUBLIC_ED_KEY", "  "}},
         info,
         std::nullopt},
        {"Info key", {}, info, "infoKey="},
        {"blank Info key", {}, InfoDictionary{{"SUPublicEDKey", "\u2028"}}, std::nullopt},
        {"Info number", {}, InfoDictionary{{"SUPublicEDKey", 1.5}}, std::nullopt},
        {"nothing", {}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AppConfiguration::Updates::publicEDKey(c.environment, c.info), c.expected);
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
    EXPECT_EQ(ToolbarDisplaySettings::default_, (ToolbarDisplaySettings{true, true, true}));
    const ToolbarDisplaySettings settings{true, false, true};
    EXPECT_EQ(ToolbarDisplaySettings::fromJSON(settings.toJSON()), settings);
    EXPECT_EQ(ToolbarDisplaySettings::fromJSON(
                  R"({"showWatts":false,"showColors":true,"showPercentage":false})"),
              (ToolbarDisplaySettings{false, true, false}));

    struct Case {
        const char* json;
        DecodingError::Kind kind;
        const char* keyPath;
    } failures[] = {
        {R"({"showPercentage":true,"showColors":true})", DecodingError::Kind::keyNotFound,
         "showWatts"},
        {R"({"showPercentage":1,"showColors":true,"showWatts":true})",
         DecodingError::Kind::typeMismatch, "showPercentage"},
        {R"({"showPercentage":true,"showColors":null,"showWatts":true})",
         DecodingError::Kind::typeMismatch, "showColors"},
        {"[true,true,true]", DecodingError::Kind::typeMismatch, ""},
        {"{\"showWatts\":", DecodingError::Kind::dataCorrupted, ""},
    };
    for (const auto& f : failures) {
        try {
            ToolbarDisplaySettings::fromJSON(f.json);
            ADD_FAILURE() << "decoded " << f.json;
        } catch (const DecodingError& error) {
            EXPECT_EQ(error.kind(), f.kind) << f.json;
            EXPECT_EQ(error.keyPath(), f.keyPath) << f.json;
        }
    }
}

}  // namespace
