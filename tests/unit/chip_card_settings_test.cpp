#include <gtest/gtest.h>

#include <algorithm>

#include "platform/system.h"
#include "plugin_environment.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace vexa;
using vexa::test_support::asLogged;
using vexa::testing::PluginEnvironment;
using vexa::testing::ScriptedPlugin;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PluginEnvironment::settingsKeyFree()) GTEST_SKIP() << PluginEnvironment::kSettingsKeyTaken;
    }

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
    EXPECT_FALSE(std::filesystem::exists(env.meridan() / "vexa_ie.log")); // logging is off
}

TEST_F(SettingsTest, ProtocolDirectoryTurnsLoggingOnThere) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    ASSERT_TRUE(env.writeSettingsKey("ProtocolDir=" + protocolDir.string() + "\n"));
    env.writeFile(protocolDir / "vexa_ie.conf", "INTERFACE=CTAPI\n");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "DEBUG");
    EXPECT_EQ(p.GetMode("INTERFACE"), "CTAPI");
    EXPECT_EQ(p.currentInterface(), 3);
    const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
    EXPECT_NE(log.find(" INFO    VEXA 2.0.0.2 on " + std::string(platform::kSystemName) +
                       " using interface type CTAPI on Test client \n"),
              std::string::npos)
        << log;
}

// A key holds other values too (a registry key always may); only ProtocolDir
// is read.
TEST_F(SettingsTest, OtherRegistryValuesArePassedOver) {
    const auto protocolDir = env.home / "protocol";
    std::filesystem::create_directories(protocolDir);
    ASSERT_TRUE(env.writeSettingsKey("Version=2.0\nProtocolDir=" + protocolDir.string() + "\nInstallPath=/opt/vexa\n"));
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "DEBUG");
    EXPECT_TRUE(std::filesystem::exists(protocolDir / "vexa_ie.log"));
}

TEST_F(SettingsTest, MachineRegistryOnlyWhenTheUserKeyIsMissing) {
    // The user's key exists but holds no ProtocolDir: the machine's is not read.
    ASSERT_TRUE(env.writeSettingsKey("\n"));
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "OFF");
}

TEST_F(SettingsTest, FaultyFileKeepsWhatWasReadAndReportsTheLine) {
    const auto protocolDir = env.home / "protocol";
    ASSERT_TRUE(env.writeSettingsKey("ProtocolDir=" + protocolDir.string() + "\n"));
    env.writeFile(protocolDir / "vexa_ie.conf", "# settings\r\nLOGLEVEL=INFO\r\nINTERFACE=USB\r\n");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.GetMode("LOGLEVEL"), "INFO");
    EXPECT_EQ(p.GetMode("INTERFACE"), "PCSC");
    const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
    EXPECT_NE(log.find("ERROR   Unknown parameter value in file '" + asLogged((protocolDir / "vexa_ie.conf").string()) +
                       "', line 3. \n"),
              std::string::npos)
        << log;
}

TEST_F(SettingsTest, MissingFileIsReportedAsDefaults) {
    const auto protocolDir = env.home / "protocol";
    ASSERT_TRUE(env.writeSettingsKey("ProtocolDir=" + protocolDir.string() + "\n"));
    std::filesystem::create_directories(protocolDir);
    ScriptedPlugin p;
    p.start();
    const std::string log = PluginEnvironment::readFile(protocolDir / "vexa_ie.log");
    EXPECT_NE(
        log.find("INFO    Using default values for '" + asLogged((protocolDir / "vexa_ie.conf").string()) + "' \n"),
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
    p.log().setLogFile("", "", (env.home / "direct.log").string());
    ASSERT_EQ(p.log().open(), 0);
    p.SetMode("LOGLEVEL", "TRACE");
    p.GetLastErrorCode();
    p.SetMode("LOGLEVEL", "OFF");
    p.GetLastErrorCode();
    const std::string log = PluginEnvironment::readFile(env.home / "direct.log");
    EXPECT_NE(log.find("LOG     Loglevel set to TRACE \n"), std::string::npos) << log;
    EXPECT_EQ(log.find("Loglevel set to OFF"), std::string::npos) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << log;
}

// Without a protocol directory the log is beside the configuration for every
// writer, whatever the current directory; the folder is made for it, 0700.
TEST_F(SettingsTest, LogIsInTheCompanyDirectoryNotTheCurrentOne) {
    std::filesystem::remove_all(env.configHome);
    std::filesystem::create_directories(env.home / "elsewhere");
    std::filesystem::current_path(env.home / "elsewhere");
    ScriptedPlugin p;
    p.start();
    EXPECT_EQ(p.SetMode("LOGLEVEL", "INFO"), 0);
    if (!platform::kWindows) { // private to the user, where folders have modes
        const auto meridanStatus = std::filesystem::status(env.meridan());
        EXPECT_EQ(meridanStatus.permissions() & std::filesystem::perms::all, std::filesystem::perms::owner_all);
    }
    EXPECT_EQ(p.log().logFileName(), (env.meridan() / "vexa_ie.log").string());
    EXPECT_NE(PluginEnvironment::readFile(env.meridan() / "vexa_ie.log").find("Loglevel set to INFO"),
              std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(env.home / "elsewhere"));
    EXPECT_EQ(readPluginSetup({}).hostLog, p.log().logFileName());
}

// With no log file named, the log cannot be read back: 992203, not an empty
// log.
TEST_F(SettingsTest, ReadLogFileWithoutALogFileName) {
    for (const char* conf : {"LOGLEVEL=INFO\nLOGFILE=\n", "LOGLEVEL=OFF\nLOGFILE=\n"}) {
        env.writeFile(env.meridan() / "vexa_ie.conf", conf);
        ScriptedPlugin p("https://shop.example/", true);
        p.start();
        ASSERT_EQ(p.Open("p"), 0);
        EXPECT_EQ(p.log().logFileName(), "");
        EXPECT_EQ(p.ReadLogFile(0), "");
        EXPECT_EQ(p.GetLastErrorCode(), 992203) << conf;
        // No file named after the company directory either.
        EXPECT_TRUE(std::filesystem::is_directory(env.meridan()));
    }
    // The log that is off but named still reads as empty.
    env.writeFile(env.meridan() / "vexa_ie.conf", "LOGLEVEL=OFF\n");
    ScriptedPlugin p("https://shop.example/", true);
    p.start();
    ASSERT_EQ(p.Open("p"), 0);
    EXPECT_EQ(p.ReadLogFile(0), "");
    EXPECT_EQ(p.GetLastErrorCode(), 0);
}

// A page that was refused (or has not called Open) still answers SetMode and
// GetMode, but its records stop at the cap: one line says so, the rest is
// dropped, and Reset gives no fresh allowance. Admission lifts the cap.
TEST_F(SettingsTest, LogOfAPageNotAdmittedIsCapped) {
    env.writeFile(env.meridan() / "vexa_ie.conf", "LOGLEVEL=OFF\n");
    const auto log = [&] { return PluginEnvironment::readFile(env.meridan() / "vexa_ie.log"); };
    const std::string big(60000, 'x');
    ScriptedPlugin p("https://shop.example/", false);
    p.start();
    EXPECT_EQ(p.Open("p"), 992211);
    EXPECT_EQ(p.SetMode("LOGLEVEL", "TRACE"), 0);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(p.GetMode(big), "");
    EXPECT_EQ(p.GetLastErrorCode(), 992201);
    p.resetPlugin();
    p.start();
    EXPECT_EQ(p.SetMode("LOGLEVEL", "TRACE"), 0);
    for (int i = 0; i < 20; ++i) p.GetMode("FOO" + std::to_string(i));
    const std::string capped = log();
    EXPECT_LE(capped.size(), ChipCardPlugin::kUnadmittedLogBytes + 200);
    EXPECT_EQ(std::count(capped.begin(), capped.end(), '\n'), 3) << capped; // two records, then the notice
    EXPECT_NE(capped.find(" LOG     Log limit of 65536 bytes reached; further records are dropped \n"),
              std::string::npos)
        << capped;

    // Another page's records go on; so do this one's once it is admitted.
    ScriptedPlugin other("https://shop.example/", true);
    other.start();
    EXPECT_EQ(other.Open("p"), 0);
    EXPECT_EQ(other.SetMode("LOGLEVEL", "INFO"), 0);
    for (int i = 0; i < 3; ++i) other.GetMode(big);
    EXPECT_GT(log().size(), capped.size() + 3 * big.size());
    p.setPage("https://shop.example/", true);
    EXPECT_EQ(p.Open("p"), 0);
    p.GetMode("after admission");
    EXPECT_NE(log().find("Unknown parameter: 'after admission'"), std::string::npos);
}

// The TLS files of remote servers: by default, and for a relative name, in
// the remote-pcsc folder beside the configuration file; a complete name as
// it is.
TEST_F(SettingsTest, RemoteTlsFilesLieBesideTheConfiguration) {
    const std::filesystem::path absolute = env.home / "pki" / "mine.pem";
    const struct {
        std::string conf;
        std::filesystem::path ca, certificate, key; // relative: in remote-pcsc
    } rows[] = {
        {"", "ca.pem", "client.pem", "client.key"},
        {"REMOTE_PCSC_TLS_CA=site-ca.pem\nREMOTE_PCSC_TLS_CERT=" + absolute.string() +
             "\nREMOTE_PCSC_TLS_KEY=keys/alice.key\n",
         "site-ca.pem", absolute, "keys/alice.key"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.conf);
        env.writeFile(
            env.meridan() / "vexa_ie.conf",
            "REMOTE_PCSC_SERVER=10.0.0.1:35965 10.0.0.2:35966\nREMOTE_PCSC_TLS_SERVER=10.0.0.2:35966\n" + row.conf);
        const PluginSetup setup = readPluginSetup({});
        const auto folder = env.meridan() / "remote-pcsc";
        EXPECT_EQ(setup.remote.servers, "10.0.0.1:35965 10.0.0.2:35966");
        EXPECT_EQ(setup.remote.tlsServers, "10.0.0.2:35966");
        EXPECT_EQ(setup.remote.files.ca, (folder / row.ca).string());
        EXPECT_EQ(setup.remote.files.certificate, (folder / row.certificate).string());
        EXPECT_EQ(setup.remote.files.key, (folder / row.key).string());
    }
}

#ifndef _WIN32
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
#else
TEST_F(SettingsTest, SettingsOthersCanChangeAreNotUsed) {
    GTEST_SKIP() << "POSIX owners and modes (chown, chmod) are what this case changes; Windows files have neither";
}
#endif
