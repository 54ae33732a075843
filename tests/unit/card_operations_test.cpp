// Card operations where no reader is reached: the guard, the checks before
// any card access, and an interface type without readers. The card paths
// run on the test bed (tests/testbed/).
#include <gtest/gtest.h>

#include "cardaccess/card_error.h"
#include "loopback_listener.h"
#include "plugin_environment.h"
#ifdef _WIN32
#include "platform/tls_client_session.h"
#endif

namespace vexa {
namespace {

using testing::LoopbackListener;
using testing::PluginEnvironment;
using testing::ScriptedPlugin;

class CardOperationsUnitTest : public ::testing::Test {
protected:
    PluginEnvironment env;
    ScriptedPlugin plugin{"https://bank.example/app/index.html", true};
    std::string log() const { return PluginEnvironment::readFile(env.meridan() / "vexa_ie.log"); }
    // CT-API without HBCIKRNL.INI (windir unset: /etc has none on a test
    // machine): no reader is ever found and no PC/SC service is needed.
    void startWithoutReaders() {
        env.writeFile(env.meridan() / "vexa_ie.conf", "LOGLEVEL=DEBUG\nINTERFACE=CTAPI\n");
        plugin.start();
        ASSERT_EQ(plugin.Open("page"), 0);
    }
};

TEST_F(CardOperationsUnitTest, EveryCardOperationWaitsForOpen) {
    plugin.start();
    EXPECT_EQ(plugin.GetReaderList(), "");
    EXPECT_EQ(plugin.GetCardATR("r"), "");
    EXPECT_EQ(plugin.ConnectCardEx("r", 2, 3, 0), ERR_NOT_INITIALISED);
    EXPECT_EQ(plugin.DisConnectCardEx(1), ERR_NOT_INITIALISED);
    EXPECT_EQ(plugin.SendToCard("00 A4 04 00"), "");
    EXPECT_EQ(plugin.SendIOCTL(3400, 0, ""), "");
    EXPECT_EQ(plugin.BeginTransaction(), ERR_NOT_INITIALISED);
    EXPECT_EQ(plugin.EndTransactionEx(1), ERR_NOT_INITIALISED);
    EXPECT_EQ(plugin.IsCardRemoved(), ERR_NOT_INITIALISED);
    EXPECT_EQ(plugin.SearchCard("A0 00", ""), "");
    EXPECT_EQ(plugin.GetCardStatus("r"), -1);
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_NOT_INITIALISED);
}

TEST_F(CardOperationsUnitTest, NoReadersFound) {
    startWithoutReaders();
    EXPECT_EQ(plugin.GetReaderList(), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_NO_READER);
    const std::string text = log();
    EXPECT_NE(text.find(" INFO    No CTAPI readers found"), std::string::npos);
    EXPECT_NE(text.find(" ERROR   GetReaderList unsuccessful (return code 992301: Keinen Kartenleser gefunden)"),
              std::string::npos);
    EXPECT_NE(text.find(" DEBUG   GetReaderList returns 0 readers"), std::string::npos);
    EXPECT_EQ(plugin.SearchCard("A0 00 00 00 01", ""), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_NO_READER);
}

TEST_F(CardOperationsUnitTest, ChecksBeforeAnyCardAccess) {
    startWithoutReaders();
    // Without a connection even text that is no hex string is "not connected".
    EXPECT_EQ(plugin.SendToCard("zz"), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_NOT_CONNECTED);
    EXPECT_EQ(plugin.SendIOCTL(1, 1, ""), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_NOT_CONNECTED);
    EXPECT_EQ(plugin.IsCardRemoved(), ERR_NOT_CONNECTED);
    EXPECT_EQ(plugin.BeginTransaction(), ERR_NOT_CONNECTED);
    EXPECT_EQ(plugin.EndTransactionEx(1), 0);
    EXPECT_EQ(plugin.DisConnectCardEx(1), ERR_UNKNOWN_INTERFACE);
    // No CT-API terminal: no connection; CT-API has no reader status.
    EXPECT_EQ(plugin.ConnectCardEx("Terminal 1", 2, 3, -5), ERR_NO_READER);
    EXPECT_EQ(plugin.GetCardStatus("Terminal 1"), -1);
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_UNKNOWN_INTERFACE);
    EXPECT_EQ(plugin.GetCardATR("Terminal 1"), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_UNKNOWN_INTERFACE);
    // An AID that is no strict hex is refused before any reader is looked at.
    for (const auto& [aid, aid2] : {std::pair{"D2 76 -1", ""}, {"D2 76 00", "D2 7"}, {"D27600", ""}}) {
        EXPECT_EQ(plugin.SearchCard(aid, aid2), "") << aid << "/" << aid2;
        EXPECT_EQ(plugin.GetLastErrorCode(), ERR_INVALID_HEX) << aid << "/" << aid2;
    }
    EXPECT_EQ(plugin.resetPlugin(), 0);
}

// A page names remote readers; only the configured servers may be reached
// through them. The stranger listens, so any attempt would show.
TEST_F(CardOperationsUnitTest, RemoteReaderNamesReachOnlyTheConfiguredServers) {
    LoopbackListener stranger;
    const std::string configured = "127.0.0.1:" + std::to_string(LoopbackListener().port()); // nobody listens
    env.writeFile(env.meridan() / "vexa_ie.conf",
                  "LOGLEVEL=DEBUG\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=" + configured + "\n");
    plugin.start();
    ASSERT_EQ(plugin.Open("page"), 0);
    const std::string name = stranger.text() + ":AnyReader";
    EXPECT_EQ(plugin.ConnectCardEx(name, 2, 3, 0), ERR_REMOTE_BAD_ADDRESS);
    EXPECT_EQ(plugin.GetCardATR(name), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_REMOTE_BAD_ADDRESS);
    EXPECT_EQ(plugin.GetCardStatus(name), -1);
    EXPECT_EQ(plugin.GetLastErrorCode(), ERR_REMOTE_BAD_ADDRESS);
    // The search tries listed readers only: an unlisted preferred reader
    // is passed over, here ending at the unreachable configured server.
    EXPECT_EQ(plugin.SetMode("PREFERRED_READER", name), 0);
    EXPECT_EQ(plugin.SearchCard("", ""), "");
    EXPECT_EQ(plugin.GetLastErrorCode(), 10061);
    EXPECT_FALSE(stranger.connectionWaiting());
    EXPECT_NE(log().find("Cannot connect remote PC/SC server " + stranger.text() +
                         " (return code 992401: Serveradresse ungueltig formatiert oder nicht angegeben)"),
              std::string::npos)
        << log();
    // The configured server itself is tried.
    EXPECT_EQ(plugin.ConnectCardEx(configured + ":AnyReader", 2, 3, 0), 10061);
}

// A server that uses TLS is never reached in plain: when TLS cannot be used
// (here a key that others may read, or a build without TLS) its readers give
// 992402 without a connection, after one line at the start. A TLS entry
// that is no server of the list is ignored with a line of its own.
TEST_F(CardOperationsUnitTest, TlsServersAreNeverReachedInPlain) {
    LoopbackListener server;
    const auto folder = env.meridan() / "remote-pcsc";
    env.writeFile(folder / "client.key", "not a key, and readable by all");
#ifndef _WIN32
    std::filesystem::permissions(folder / "client.key", std::filesystem::perms(0644));
    const std::string why =
        "the key " + (folder / "client.key").string() + " can be read or changed by others (mode 0644)";
#else
    // Where Windows offers TLS 1.3, the certificate beside the key is missing.
    std::string why = platform::tls13Unavailability();
    if (why.empty()) why = "cannot read the certificate " + (folder / "client.pem").string();
#endif
    env.writeFile(env.meridan() / "vexa_ie.conf",
                  "LOGLEVEL=DEBUG\nINTERFACE=REMOTE_PCSC\nREMOTE_PCSC_SERVER=" + server.text() +
                      "\nREMOTE_PCSC_TLS_SERVER=" + server.text() + " 10.9.8.7:6 10.9.8\n");
    plugin.start();
    ASSERT_EQ(plugin.Open("page"), 0);
    EXPECT_EQ(plugin.ConnectCardEx(server.text() + ":AnyReader", 2, 3, 0), ERR_REMOTE_NOT_CONNECTED);
    EXPECT_EQ(plugin.GetReaderList(), "");
    EXPECT_FALSE(server.connectionWaiting());
    const std::string text = log();
    for (const std::string& line :
         {"ERROR   TLS to remote PC/SC servers unusable: " + why + ". Not connecting to " + server.text() + ".",
          std::string("WARNING Remote PC/SC server over TLS 10.9.8.7:6 is not among the remote PC/SC servers."),
          std::string("ERROR   Invalid address for remote PC/SC server over TLS ('10.9.8')."),
          "Cannot connect remote PC/SC server " + server.text() + " (return code 992402: "})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

} // namespace
} // namespace vexa
