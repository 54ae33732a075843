#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "plugin_environment.h"

using namespace vexa;
using vexa::testing::PluginEnvironment;
using vexa::testing::ScriptedPlugin;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    PluginEnvironment env;
};

} // namespace

TEST_F(SettingsTest, DefaultsWithoutRegistryOrFile) {
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "OFF");
    EXPECT_EQ(p.GetMode("INTERFACE"), "PCSC");
    EXPECT_EQ(p.GetMode("PREFERRED_READER"), "");
    EXPECT_EQ(p.GetLastErrorCode(), 0);
    EXPECT_FALSE(std::filesystem::exists(env.home / "vexa_ie.log")); // logging is off
}

TEST_F(SettingsTest, ProtocolDirectoryTurnsLoggingOnThere) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    env.writeFile(env.meridan() / "VEXA" / "registry.conf", "ProtocolDir=" + protocolDir.string() + "\n");
    env.writeFile(protocolDir / "vexa_ie.conf", "INTERFACE=CTAPI\n");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "DEBUG");
    EXPECT_EQ(p.GetMode("INTERFACE"), "CTAPI");
    EXPECT_EQ(p.currentInterface(), 3);
    const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
    EXPECT_NE(log.find(" INFO    VEXA 2.0.0.2 on Linux using interface type CTAPI on Test client \n"),
              std::string::npos)
        << log;
}

// A key holds other values too (a registry key always may); only ProtocolDir
// is read.
TEST_F(SettingsTest, OtherRegistryValuesArePassedOver) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    env.writeFile(env.meridan() / "VEXA" / "registry.conf",
                  "Version=2.0\nProtocolDir=" + protocolDir.string() + "\nInstallPath=/opt/vexa\n");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "DEBUG");
    EXPECT_TRUE(std::filesystem::exists(protocolDir / "vexa_ie.log"));
}

// Settings that another user could have written are not used: the registry
// key and the configuration file alike, each with one line saying why.
TEST_F(SettingsTest, SettingsOthersCanChangeAreNotUsed) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    const auto registry = env.meridan() / "VEXA" / "registry.conf";
    env.writeFile(registry, "ProtocolDir=" + protocolDir.string() + "\n");
    const auto conf = protocolDir / "vexa_ie.conf";
    env.writeFile(conf, "INTERFACE=CTAPI\n");
    ASSERT_EQ(::chmod(conf.c_str(), 0664), 0);
    {
        ScriptedPlugin p;
        p.start();
        EXPECT_EQ(p.GetMode("INTERFACE"), "PCSC");
        const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
        EXPECT_NE(log.find("ERROR   Not using file '" + conf.string() + "': '" + conf.string() +
                           "' is writable by its group. \n"),
                  std::string::npos)
            << log;
    }
    ASSERT_EQ(::chown(registry.c_str(), 65534, 65534), 0);
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "OFF");
}

TEST_F(SettingsTest, MachineRegistryOnlyWhenTheUserKeyIsMissing) {
    // The user's key exists but holds no ProtocolDir: the machine's is not read.
    env.writeFile(env.meridan() / "VEXA" / "registry.conf", "\n");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "OFF");
}

TEST_F(SettingsTest, FaultyFileKeepsWhatWasReadAndReportsTheLine) {
    const auto protocolDir = env.home / "protocol";
    env.writeFile(env.meridan() / "VEXA" / "registry.conf", "ProtocolDir=" + protocolDir.string() + "\n");
    env.writeFile(protocolDir / "vexa_ie.conf", "# settings\r\nLOGLEVEL=INFO\r\nINTERFACE=USB\r\n");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "INFO");
    EXPECT_EQ(p.GetMode("INTERFACE"), "PCSC");
    const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
    EXPECT_NE(log.find("ERROR   Unknown parameter value in file '" + (protocolDir / "vexa_ie.conf").string() +
                       "', line 3. \n"),
              std::string::npos)
        << log;
}

TEST_F(SettingsTest, MissingFileIsReportedAsDefaults) {
    const auto protocolDir = env.home / "protocol";
    env.writeFile(env.meridan() / "VEXA" / "registry.conf", "ProtocolDir=" + protocolDir.string() + "\n");
    std::filesystem::create_directories(protocolDir);
    ScriptedPlugin p;
    p.start();
    const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
    EXPECT_NE(log.find("INFO    Using default values for '" + (protocolDir / "vexa_ie.conf").string() + "' \n"),
              std::string::npos)
        << log;
}

TEST_F(SettingsTest, SetModeAndGetMode) {
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.SetMode("loglevel", "debug"), 0);
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "DEBUG");
    EXPECT_EQ(p.SetMode("LOGLEVEL", "UNDEFINED"), 992202);
    EXPECT_EQ(p.SetMode("LOGLEVEL", "DEBUG "), 992202);
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "DEBUG");

    EXPECT_EQ(p.SetMode("INTERFACE", "REMOTE_PCSC"), 992202);
    EXPECT_EQ(p.GetLastErrorCode(), 992202);
    EXPECT_EQ(p.currentInterface(), 1);
    EXPECT_EQ(p.SetMode("Interface", "all"), 0);
    EXPECT_EQ(p.currentInterface(), 4);
    EXPECT_EQ(p.GetMode("INTERFACE"), "ALL");

    EXPECT_EQ(p.SetMode("TESTCASE", "12x"), 992202);
    EXPECT_EQ(p.SetMode("TESTCASE", ""), 0);
    EXPECT_EQ(processTestcase.load(), 0);
    EXPECT_EQ(p.SetMode("TESTCASE", "42"), 0);
    EXPECT_EQ(processTestcase.load(), 42);
    processTestcase = 0;

    EXPECT_EQ(p.SetMode("PREFERRED_READER", "Virtual PCD 00 01"), 0);
    EXPECT_EQ(p.GetMode("preferred_reader"), "Virtual PCD 00 01");
    EXPECT_EQ(p.SetMode("FOO", "1"), 992201);
    EXPECT_EQ(p.GetMode("FOO"), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992201);
}

TEST_F(SettingsTest, ResetRereadsTheFileAndUndoesSetMode) {
    ScriptedPlugin p;
    p.start();
    p.SetMode("LOGLEVEL", "TRACE");
    p.SetMode("INTERFACE", "CTAPI");
    EXPECT_EQ(p.resetPlugin(), 0);
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "OFF");
    EXPECT_EQ(p.GetMode("INTERFACE"), "PCSC");
    EXPECT_EQ(p.getClientName(), "Test client");
}

TEST_F(SettingsTest, LogLevelChangesTakeEffectAtOnce) {
    ScriptedPlugin p("https://shop.example/", true);
    p.start();
    p.setLogFile("", "", (env.home / "direct.log").string());
    ASSERT_EQ(p.open(), 0);
    p.SetMode("LOGLEVEL", "TRACE");
    p.GetLastErrorCode();
    p.SetMode("LOGLEVEL", "OFF");
    p.GetLastErrorCode();
    const std::string log = PluginEnvironment::readFile(env.home / "direct.log");
    EXPECT_NE(log.find("LOG     Loglevel set to TRACE \n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Loglevel set to OFF"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}
