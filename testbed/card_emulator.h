#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"
#include "testbed/card_script.h"
#include "testbed/vpcd_framer.h"

namespace vexa::testbed {

// One virtual card for one vpcd slot. Inserting the card connects to vpcd's
// port, removing it leaves. A control socket (one line per request, one line
// per reply) lets tests script the card and move it in and out at any moment.
//
// Requests: reset | atr HEX|none | mute MS|off | aid HEX [FCI] |
// answer HEX[*] HEX|leave [MS] | insert [nowait] | remove | status | received |
// failures | clear | quit. Replies start with "ok" or "error". An answer
// "leave" pulls the card mid-command: it leaves the reader after MS instead
// of answering. An answer is never empty: vpcd waits for ever on one.
class CardEmulator {
public:
    CardEmulator(std::uint16_t vpcdPort, std::string controlPath);
    CardEmulator(const CardEmulator&) = delete;
    CardEmulator& operator=(const CardEmulator&) = delete;
    ~CardEmulator();

    // Serves until quit, SIGTERM or SIGINT; false when the control socket
    // cannot be set up.
    bool run(bool insertAtStart);

private:
    using Clock = std::chrono::steady_clock;
    struct ControlClient {
        platform::UniqueFd fd;
        std::string input;
        bool waitingForPower = false;
        Clock::time_point deadline;
    };
    struct PendingAnswer {
        Bytes bytes;
        bool dropAfter = false; // a mute card falls silent and drops off
        Clock::time_point due;
    };
    using Handler = std::string (CardEmulator::*)(std::string_view args, ControlClient& client);
    struct Request {
        std::string_view name;
        Handler handler;
    };

    bool openControlSocket();
    int pollTimeoutMs() const;
    void serviceTimers();
    void acceptControl();
    void readControl(ControlClient& client);
    void processLines(ControlClient& client);
    void reply(ControlClient& client, const std::string& text);
    void readVpcd();
    void handleVpcdMessage(const Bytes& message);
    void handleCommand(const Bytes& command);
    void sendToVpcd(const Bytes& message);
    void dropVpcd();
    void answerPowerWaiters();

    std::string execute(std::string_view line, ControlClient& client);
    std::string doReset(std::string_view args, ControlClient& client);
    std::string doAtr(std::string_view args, ControlClient& client);
    std::string doMute(std::string_view args, ControlClient& client);
    std::string doAid(std::string_view args, ControlClient& client);
    std::string doAnswer(std::string_view args, ControlClient& client);
    std::string doInsert(std::string_view args, ControlClient& client);
    std::string doRemove(std::string_view args, ControlClient& client);
    std::string doStatus(std::string_view args, ControlClient& client);
    std::string doReceived(std::string_view args, ControlClient& client);
    std::string doFailures(std::string_view args, ControlClient& client);
    std::string doClear(std::string_view args, ControlClient& client);
    std::string doQuit(std::string_view args, ControlClient& client);
    static const std::vector<Request>& requests();

    std::uint16_t port_;
    std::string controlPath_;
    CardScript script_;
    platform::UniqueFd listen_;
    platform::UniqueFd signals_;
    platform::UniqueFd vpcd_;
    VpcdFramer framer_;
    std::vector<ControlClient> clients_;
    std::optional<PendingAnswer> pending_;
    std::chrono::milliseconds muteDelay_{0};
    bool powered_ = false;
    bool poweredSinceInsert_ = false;
    bool quit_ = false;
    std::uint64_t commands_ = 0;
};

} // namespace vexa::testbed
