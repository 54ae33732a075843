#pragma once

#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "control/chip_card_control.h"
#include "host/native_message_codec.h"
#include "platform/wait_handle.h"

namespace vexa {

struct HostedControl;
struct ParsedCall;

// One browser connection served by `vexa-host`: native messages on the
// input handle and the output stream. The hello creates the page's
// control; then calls are answered in order, long answers in chunks, events
// go out as the event thread hands them over, and Open's site question
// holds back every other call until the user has answered. All input, the
// answer included, comes through one wait (waitForInput).
class HostSession : private UserQuestion {
public:
    HostSession(platform::WaitHandle input, std::ostream& output);
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;
    ~HostSession() override;

    // Serves the connection until its input ends: 0 after a clean end, 1
    // when the input broke off inside a message or could not be read, or
    // when the browser stopped reading.
    int run();

private:
    // Sends the site question and waits for its answer; the end of input
    // counts as Cancel.
    bool ask(std::string_view caption, std::string_view text) override;

    void handle(const IncomingFrame& frame);
    void greet(const nlohmann::ordered_json& hello);
    void call(const ParsedCall& parsed);
    // Waits for input or, unless the question is open, an event or the
    // plug-in's deadline; receives what arrives, fires the event.
    void waitForInput();
    // One read; appends the messages it completes. False at the end of input.
    bool readInput(std::vector<IncomingFrame>& out);
    // Queues what one read brought. While the question waits, its first
    // valid answer is taken and the frames before it are queued only while
    // the queue has room, else refused.
    void receive(std::vector<IncomingFrame>& frames);
    // True when frame is an answer: a valid one becomes the question's
    // answer, an invalid one is refused. False for anything else.
    bool takeAnswer(const IncomingFrame& frame);
    // Queues a call that arrives while the question is open, or refuses it
    // when the waiting calls are at their bound.
    void holdOrRefuse(IncomingFrame&& frame);
    bool hasRoomFor(const IncomingFrame& frame) const;
    void deliverEvents();
    bool send(std::string_view message);
    // A failure of the connection itself: standard error, and the plug-in's
    // log once there is one.
    void report(std::string_view text);

    platform::WaitHandle input_;
    std::ostream& output_;
    FrameDecoder decoder_;
    std::vector<char> buffer_;
    std::deque<IncomingFrame> queue_;
    bool inputEnded_ = false;
    bool broken_ = false;
    // While the question is open: whether it is, and its answer once given.
    bool asking_ = false;
    std::optional<bool> answer_;
    std::unique_ptr<HostedControl> hosted_;
};

} // namespace vexa
