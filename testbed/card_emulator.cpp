#include "testbed/card_emulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <csignal>
#include <cstring>

#include "platform/blocking_io.h"

namespace vexa::testbed {
namespace {

// vpcd control messages (one byte).
constexpr std::uint8_t kPowerOff = 0;
constexpr std::uint8_t kPowerOn = 1;
constexpr std::uint8_t kReset = 2;
constexpr std::uint8_t kGetAtr = 4;

constexpr auto kPowerWait = std::chrono::seconds(3);

void setQuickAck(int fd) {
    const int one = 1;
    // Linux clears TCP_QUICKACK after use; without it every APDU waits for
    // a delayed ACK (~40 ms), because vpcd writes length and body separately.
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

platform::UniqueFd connectLoopback(std::uint16_t port) {
    platform::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return fd;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return platform::UniqueFd();
    const int one = 1;
    setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setQuickAck(fd.get());
    return fd;
}

std::pair<std::string_view, std::string_view> splitWord(std::string_view text) {
    const auto start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) return {};
    text.remove_prefix(start);
    const auto end = text.find(' ');
    if (end == std::string_view::npos) return {text, {}};
    auto rest = text.substr(end + 1);
    const auto restStart = rest.find_first_not_of(' ');
    return {text.substr(0, end), restStart == std::string_view::npos ? std::string_view{} : rest.substr(restStart)};
}

bool parseMs(std::string_view text, std::chrono::milliseconds& ms) {
    if (text.empty() || text.size() > 9) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    ms = std::chrono::milliseconds(value);
    return true;
}

} // namespace

CardEmulator::CardEmulator(std::uint16_t vpcdPort, std::string controlPath)
    : port_(vpcdPort), controlPath_(std::move(controlPath)) {}

CardEmulator::~CardEmulator() {
    if (listen_.valid()) unlink(controlPath_.c_str());
}

bool CardEmulator::openControlSocket() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (controlPath_.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, controlPath_.c_str(), controlPath_.size() + 1);
    unlink(controlPath_.c_str());
    listen_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listen_.valid() || bind(listen_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_.get(), 8) != 0) {
        listen_.reset();
        return false;
    }
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signals_.reset(signalfd(-1, &mask, SFD_CLOEXEC));
    return signals_.valid();
}

bool CardEmulator::run(bool insertAtStart) {
    if (!openControlSocket()) return false;
    if (insertAtStart) {
        ControlClient none;
        doInsert({}, none);
    }
    while (!quit_) {
        std::vector<pollfd> fds = {{listen_.get(), POLLIN, 0}, {signals_.get(), POLLIN, 0}};
        // While an answer is pending vpcd is waiting for it and sends nothing.
        const bool readVpcdNow = vpcd_.valid() && !pending_;
        if (readVpcdNow) fds.push_back({vpcd_.get(), POLLIN, 0});
        const std::size_t firstClient = fds.size();
        for (auto& c : clients_) fds.push_back({c.fd.get(), static_cast<short>(c.waitingForPower ? 0 : POLLIN), 0});
        if (poll(fds.data(), fds.size(), pollTimeoutMs()) < 0 && errno != EINTR) return false;
        if (fds[1].revents & POLLIN) quit_ = true;
        if (readVpcdNow && fds[2].revents) readVpcd();
        for (std::size_t i = 0; i < clients_.size() && firstClient + i < fds.size(); ++i)
            if (fds[firstClient + i].revents) readControl(clients_[i]);
        std::erase_if(clients_, [](const ControlClient& c) { return !c.fd.valid(); });
        if (fds[0].revents & POLLIN) acceptControl();
        serviceTimers();
    }
    return true;
}

int CardEmulator::pollTimeoutMs() const {
    auto next = Clock::time_point::max();
    if (pending_) next = pending_->due;
    for (const auto& c : clients_)
        if (c.waitingForPower) next = std::min(next, c.deadline);
    if (next == Clock::time_point::max()) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

void CardEmulator::serviceTimers() {
    const auto now = Clock::now();
    if (pending_ && pending_->due <= now) {
        PendingAnswer answer = std::move(*pending_);
        pending_.reset();
        if (answer.dropAfter)
            dropVpcd();
        else
            sendToVpcd(answer.bytes);
    }
    for (auto& c : clients_)
        if (c.waitingForPower && c.deadline <= now) {
            c.waitingForPower = false;
            reply(c, "ok unpowered");
            processLines(c);
        }
}

void CardEmulator::acceptControl() {
    platform::UniqueFd fd(accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (fd.valid()) clients_.push_back({std::move(fd), {}, false, {}});
}

void CardEmulator::readControl(ControlClient& client) {
    char buffer[4096];
    const ssize_t n = recv(client.fd.get(), buffer, sizeof buffer, 0);
    if (n <= 0) {
        client.fd.reset();
        return;
    }
    client.input.append(buffer, static_cast<std::size_t>(n));
    if (client.input.size() > (1u << 20))
        client.fd.reset();
    else
        processLines(client);
}

void CardEmulator::processLines(ControlClient& client) {
    std::size_t end;
    while (client.fd.valid() && !client.waitingForPower && (end = client.input.find('\n')) != std::string::npos) {
        std::string line = client.input.substr(0, end);
        client.input.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string answer = execute(line, client);
        if (!client.waitingForPower) reply(client, answer);
    }
}

void CardEmulator::reply(ControlClient& client, const std::string& text) {
    const std::string line = text + "\n";
    if (!platform::sendAll(client.fd.get(), line)) client.fd.reset();
}

void CardEmulator::readVpcd() {
    std::uint8_t buffer[4096];
    const ssize_t n = recv(vpcd_.get(), buffer, sizeof buffer, 0);
    if (n <= 0) {
        // vpcd closed the connection: to the reader the card is gone.
        dropVpcd();
        return;
    }
    setQuickAck(vpcd_.get());
    framer_.feed({buffer, static_cast<std::size_t>(n)});
    while (vpcd_.valid() && !pending_) {
        auto message = framer_.next();
        if (!message) break;
        handleVpcdMessage(*message);
    }
}

void CardEmulator::handleVpcdMessage(const Bytes& message) {
    if (message.size() != 1) {
        handleCommand(message);
        return;
    }
    switch (message[0]) {
        case kPowerOff:
            powered_ = false;
            break;
        case kPowerOn:
        case kReset:
            powered_ = true;
            poweredSinceInsert_ = true;
            break;
        case kGetAtr:
            if (muteDelay_.count() > 0)
                pending_ = PendingAnswer{{}, true, Clock::now() + muteDelay_};
            else
                sendToVpcd(script_.atr());
            if (poweredSinceInsert_) answerPowerWaiters();
            break;
        default:
            script_.recordFailure("unknown vpcd control " + std::to_string(message[0]));
    }
}

void CardEmulator::handleCommand(const Bytes& command) {
    ++commands_;
    if (!powered_) script_.recordFailure("command while unpowered: " + hexOf(command));
    CardAnswer answer = script_.answer(command);
    if (answer.mute) {
        const auto delay = answer.delay.count() > 0 ? answer.delay : muteDelay_;
        pending_ = PendingAnswer{{}, true, Clock::now() + delay};
    } else if (answer.delay.count() > 0) {
        pending_ = PendingAnswer{std::move(answer.bytes), false, Clock::now() + answer.delay};
    } else {
        sendToVpcd(answer.bytes);
    }
}

void CardEmulator::sendToVpcd(const Bytes& message) {
    if (!vpcd_.valid()) return;
    const auto framed = VpcdFramer::frame(message);
    if (!platform::sendAll(vpcd_.get(), {reinterpret_cast<const char*>(framed.data()), framed.size()})) dropVpcd();
}

void CardEmulator::dropVpcd() {
    vpcd_.reset();
    framer_.clear();
    pending_.reset();
    powered_ = false;
}

void CardEmulator::answerPowerWaiters() {
    for (auto& c : clients_)
        if (c.waitingForPower) {
            c.waitingForPower = false;
            reply(c, "ok powered");
            processLines(c);
        }
}

const std::vector<CardEmulator::Request>& CardEmulator::requests() {
    static const std::vector<Request> table = {
        {"reset", &CardEmulator::doReset},       {"atr", &CardEmulator::doAtr},
        {"mute", &CardEmulator::doMute},         {"aid", &CardEmulator::doAid},
        {"answer", &CardEmulator::doAnswer},     {"insert", &CardEmulator::doInsert},
        {"remove", &CardEmulator::doRemove},     {"status", &CardEmulator::doStatus},
        {"received", &CardEmulator::doReceived}, {"failures", &CardEmulator::doFailures},
        {"clear", &CardEmulator::doClear},       {"quit", &CardEmulator::doQuit},
    };
    return table;
}

std::string CardEmulator::execute(std::string_view line, ControlClient& client) {
    const auto [name, args] = splitWord(line);
    for (const auto& r : requests())
        if (r.name == name) return (this->*r.handler)(args, client);
    return "error unknown request '" + std::string(name) + "'";
}

std::string CardEmulator::doReset(std::string_view, ControlClient&) {
    script_.clear();
    muteDelay_ = {};
    return "ok";
}

std::string CardEmulator::doAtr(std::string_view args, ControlClient&) {
    Bytes atr;
    if (args != "none" && (!parseHexBytes(args, atr) || atr.empty() || atr.size() > 33))
        return "error ATR must be 1 to 33 hex bytes or 'none'";
    script_.setAtr(std::move(atr));
    return "ok";
}

std::string CardEmulator::doMute(std::string_view args, ControlClient&) {
    std::chrono::milliseconds delay{};
    if (args == "off") {
        muteDelay_ = {};
    } else if (parseMs(args, delay) && delay.count() > 0) {
        muteDelay_ = delay;
    } else {
        return "error mute takes a delay in milliseconds or 'off'";
    }
    script_.setMute(muteDelay_.count() > 0);
    return "ok";
}

std::string CardEmulator::doAid(std::string_view args, ControlClient&) {
    const auto [aidText, fciText] = splitWord(args);
    Bytes aid, fci;
    if (!parseHexBytes(aidText, aid) || aid.empty() || !parseHexBytes(fciText, fci)) return "error aid HEX [FCI]";
    script_.addAid(std::move(aid), std::move(fci));
    return "ok";
}

std::string CardEmulator::doAnswer(std::string_view args, ControlClient&) {
    auto [patternText, rest] = splitWord(args);
    const auto [answerText, delayText] = splitWord(rest);
    const bool prefix = patternText.ends_with('*');
    if (prefix) patternText.remove_suffix(1);
    Bytes pattern, answer;
    std::chrono::milliseconds delay{};
    const bool leave = answerText == "leave";
    if (!parseHexBytes(patternText, pattern) || pattern.empty() ||
        (!leave && (!parseHexBytes(answerText, answer) || answer.empty() || answer.size() > 0xFFFF)) ||
        (!delayText.empty() && !parseMs(delayText, delay)))
        return "error answer HEX[*] HEX|leave [MS]";
    if (leave)
        script_.addLeave(std::move(pattern), prefix, delay);
    else
        script_.addAnswer(std::move(pattern), prefix, std::move(answer), delay);
    return "ok";
}

std::string CardEmulator::doInsert(std::string_view args, ControlClient& client) {
    if (vpcd_.valid()) return "ok already inserted";
    vpcd_ = connectLoopback(port_);
    if (!vpcd_.valid()) return "error vpcd does not listen on port " + std::to_string(port_);
    poweredSinceInsert_ = false;
    // The reply waits until the reader has seen and powered the card, unless
    // the test expects it never to be (a card without ATR).
    client.waitingForPower = client.fd.valid() && args != "nowait";
    client.deadline = Clock::now() + kPowerWait;
    return "ok";
}

std::string CardEmulator::doRemove(std::string_view, ControlClient&) {
    dropVpcd();
    return "ok";
}

std::string CardEmulator::doStatus(std::string_view, ControlClient&) {
    return std::string("ok ") + (vpcd_.valid() ? "inserted " : "removed ") + (powered_ ? "powered" : "unpowered") +
           " commands=" + std::to_string(commands_) + " failures=" + std::to_string(script_.failures().size());
}

std::string CardEmulator::doReceived(std::string_view, ControlClient&) {
    std::string text = "ok";
    for (const auto& c : script_.received()) text += " " + c;
    return text;
}

std::string CardEmulator::doFailures(std::string_view, ControlClient&) {
    std::string text = "ok " + std::to_string(script_.failures().size());
    for (const auto& f : script_.failures()) text += "; " + f;
    return text;
}

std::string CardEmulator::doClear(std::string_view, ControlClient&) {
    script_.clearLogs();
    return "ok";
}

std::string CardEmulator::doQuit(std::string_view, ControlClient&) {
    quit_ = true;
    return "ok";
}

} // namespace vexa::testbed
