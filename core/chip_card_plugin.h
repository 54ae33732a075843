#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "cardaccess/tov_chip_default_access.h"
#include "core/error_model.h"
#include "core/server_batch.h"
#include "core/site_address.h"
#include "core/user_question.h"
#include "readers/chip_card_event.h"
#include "support/tov_conf.h"
#include "support/tov_log.h"
#include "support/version.h"

namespace vexa {

// Test-case number shared by every plug-in object of the process.
extern std::atomic<std::int32_t> processTestcase;

// Inputs of the start-up load, given by whoever hosts the plug-in. The
// defaults are the product's own names; a host sets what is its own (the
// client text).
struct StartupInputs {
    std::string companyDirectory = "MERIDAN";
    std::string productText{kProductText};
    std::string configurationFile = "vexa_ie.conf";
    std::string logFile = "vexa_ie.log";
    std::string clientText;
};

// What the start-up load finds for the inputs, for tools that work beside
// the plug-in: its files and the settings of its configuration file.
struct PluginSetup {
    // The protocol directory the registry names; none without one.
    std::optional<std::string> protocolDirectory;
    // The configuration file's path.
    std::string configuration;
    // The log file that every plug-in (host, shell, tools) writes: LOGFILE
    // in the protocol directory, else in the company directory of the config
    // home; today's date filled in; "" when LOGFILE is empty.
    std::string hostLog;
    std::int32_t logLevel = 0;
    std::int32_t interfaceType = 0;
    RemoteServerSettings remote;
};
// Reads the registry and the configuration file; creates nothing but the
// company directory of the config home.
PluginSetup readPluginSetup(const StartupInputs& inputs);

// The scripting core behind every script call. Operations never throw: they
// answer with a string or a code and keep the detailed outcome in lastError.
// It holds its log and its main configuration, is told who its page is and
// how to ask the user when it is made, and is the event sink of its event
// monitor as a base.
class ChipCardPlugin : public ChipCardEvent {
public:
    // What a control writes to the log in all while its page is not
    // admitted: SetMode and GetMode work before Open, and a refused page must
    // neither fill the disk nor rotate other pages' records out of the log.
    static constexpr std::size_t kUnadmittedLogBytes = 64 * 1024;

    // A plug-in without a page (tools beside the plug-in): Open judges an
    // empty address and the question is always answered Cancel.
    ChipCardPlugin();
    // A plug-in for the page; Open asks question, which must outlive it.
    ChipCardPlugin(PageIdentity page, UserQuestion& question);
    ChipCardPlugin(const ChipCardPlugin&) = delete;
    ChipCardPlugin& operator=(const ChipCardPlugin&) = delete;
    ~ChipCardPlugin() override;

    // Start-up load; does nothing when the configuration is already loaded.
    void loadConfiguration(const StartupInputs& inputs);
    // Stops events, closes the card, clears the state; the card close result.
    std::int32_t shutdown();
    // Behind Reset: shutdown, close the log, forget the configuration. The
    // host runs loadConfiguration again afterwards.
    std::int32_t resetPlugin();

    // Settings: no initialisation guard.
    std::int32_t SetMode(std::string_view parameter, std::string_view value);
    std::string GetMode(std::string_view parameter);
    // Admits the page (0) or refuses it (992211); asks the user when the
    // page's site is in neither list.
    std::int32_t Open(std::string_view identifier);

    // Script operations that need no card.
    std::string GetVersion(std::int32_t versionSelector);
    std::string Hex2Str(std::string_view input);
    std::string Str2Hex(std::string_view input);
    std::int32_t GetLastErrorCode();
    std::string GetErrorText(std::int32_t errorCode);
    std::string ReadLogFile(std::int32_t maxNumberOfBytes);

    // Card operations on the plug-in's one card connection.
    std::string GetReaderList();
    std::string GetCardATR(std::string_view readerName);
    std::int32_t ConnectCardEx(std::string_view readerName, std::int32_t shareMode, std::int32_t protocol,
                               std::int32_t timeOut);
    std::int32_t DisConnectCardEx(std::int32_t disposition);
    std::string SendToCard(std::string_view apdu);
    std::string SendIOCTL(std::int32_t ioctl, std::int32_t isRaw, std::string_view apdu);
    std::int32_t BeginTransaction();
    std::int32_t EndTransactionEx(std::int32_t disposition);
    // The reader's state word, -1 on failure.
    std::int32_t GetCardStatus(std::string_view readerName);
    std::int32_t IsCardRemoved();
    // The reader whose card selects the AIDs ("" if none); it stays connected.
    std::string SearchCard(std::string_view aid, std::string_view aid2);
    std::int32_t EnableEvents(std::string_view eventIdentifier);
    std::int32_t DisableEvents();

    // Server requests: a request header with this system's environment for
    // the server, enciphered; a request or response deciphered for
    // inspection; a server's request run on the connected card, answered
    // with every command's result (enciphered when encoded is not 0).
    std::string EncodeRequest(std::string_view clientId, std::string_view transactionId, std::int32_t functionId,
                              std::int32_t processId, std::string_view tlvString);
    std::string DecodeRequest(std::string_view input);
    std::string ExecuteRequest(std::string_view input, std::int32_t encoded, std::int32_t processId);

    // When the card connection's transaction ends for want of card calls;
    // none without one. Whoever hosts the plug-in wakes then (also between
    // calls) and calls endIdleTransaction, so other programs waiting for the
    // card go on.
    std::optional<TovChipDefaultAccess::Clock::time_point> transactionDeadline() const {
        return card.transactionDeadline();
    }
    void endIdleTransaction() { card.endIdleTransaction(log_); }

    bool isInitialised() const { return initialised != 0; }
    const std::string& getClientName() const { return clientName; }
    // The log every operation writes to; whoever hosts the plug-in adds its
    // own records.
    TovLog& log() { return log_; }
    // The main configuration as loaded and changed by SetMode.
    const TovConf& configuration() const { return conf_; }

    // True when the built-in or the user's list admits the page.
    bool isSiteAllowed(const SiteAddress& page) const;
    // Adds a site to the user's list as the file holds it now and stores the
    // list enciphered; 0, -1 when enciphering failed, or the save result.
    int addAllowedSite(std::string_view site);

protected:
    // The initialisation guard of every card, request, log-reading and event
    // operation: runs op once Open admitted the page, else stores 992211 and
    // answers refused.
    template <typename R, typename Op>
    R guarded(R refused, Op&& op) {
        if (!initialised) {
            lastError = ERR_NOT_INITIALISED;
            return refused;
        }
        return op();
    }

    TovLog log_;
    TovConf conf_;
    // Who the page is; Open judges it each time it runs its check.
    PageIdentity page_;
    UserQuestion& question_;

    std::int32_t initialised = 0;
    std::int32_t siteChecked = 0;
    std::string pageIdentifier;
    std::string clientName;
    std::int32_t lastError = 0;
    std::int32_t interfaceType = 0;
    RemoteServers remoteServer;
    std::string allowedSites;
    TovConf sitesConf;
    // Why the sites file read at start-up is damaged, as logged; "" when not.
    std::string sitesDamage;
    TovChipDefaultAccess card;
    std::string preferredReader;

private:
    // The user's list from its file, at start-up and when the file changed.
    void loadAllowedSites(std::string_view companyDirectory);
    void refreshAllowedSites();

    // Throws TovException 992210 (encoded) or 992200 (plain hex) when the
    // input cannot be read.
    ServerRequest readServerRequest(std::string_view input, bool encoded);
    void executeCommands(const ServerRequest& request, ServerResponse& response);
    // Sets lastError to the reconnect's result.
    void reconnectForCommand(std::int32_t seconds);
    std::string writeServerResponse(const ServerResponse& response, bool encoded);

    std::int32_t setLogLevel(std::string_view value);
    std::int32_t setInterface(std::string_view value);
    std::int32_t setTestcaseNumber(std::string_view value);
    std::string settingName(std::string_view key, const NameTable& table) const;
};

} // namespace vexa
