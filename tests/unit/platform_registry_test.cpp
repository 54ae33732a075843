#include "platform/registry.h"

#include <gtest/gtest.h>

namespace vexa::platform {
namespace {

constexpr std::string_view kKey = "Software\\VEXA-unit-test";

TEST(PlatformRegistry, TextsRoundTripAndKeysGoWithTheirSubtree) {
    if (!kSystemRegistry) {
        EXPECT_EQ(readRegistryText(RegistryRoot::CurrentUser, "Software", ""), std::nullopt);
        EXPECT_FALSE(writeRegistryText(RegistryRoot::CurrentUser, kKey, "Name", "text"));
        return; // without a system registry the refusals above are all there is
    }
    const std::string deep = std::string(kKey) + "\\Sub\\Deep";
    ASSERT_TRUE(deleteRegistryKey(RegistryRoot::CurrentUser, kKey));
    ASSERT_TRUE(writeRegistryText(RegistryRoot::CurrentUser, deep, "Name", "C:\\x \xC3\xBC"));
    ASSERT_TRUE(writeRegistryText(RegistryRoot::CurrentUser, deep, "", "default"));
    using Read = std::optional<std::optional<std::string>>;
    EXPECT_EQ(readRegistryText(RegistryRoot::CurrentUser, deep, "Name"), Read(std::string("C:\\x \xC3\xBC")));
    EXPECT_EQ(readRegistryText(RegistryRoot::CurrentUser, deep, ""), Read(std::string("default")));
    // A key without the value is told apart from a missing key: only the
    // latter lets a reader fall back to the machine's key.
    EXPECT_EQ(readRegistryText(RegistryRoot::CurrentUser, deep, "Missing"), Read(std::optional<std::string>()));
    EXPECT_EQ(readRegistryText(RegistryRoot::CurrentUser, deep + "\\None", "Name"), std::nullopt);

    EXPECT_FALSE(deleteRegistryKey(RegistryRoot::CurrentUser, "")); // never the whole root
    EXPECT_TRUE(deleteRegistryKey(RegistryRoot::CurrentUser, kKey));
    EXPECT_EQ(readRegistryText(RegistryRoot::CurrentUser, kKey, ""), std::nullopt);
    EXPECT_TRUE(deleteRegistryKey(RegistryRoot::CurrentUser, kKey));
}

} // namespace
} // namespace vexa::platform
