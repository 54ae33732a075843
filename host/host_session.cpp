#include "host/host_session.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "control/host_messages.h"
#include "control/poll_for_input.h"
#include "control/script_dispatcher.h"
#include "platform/std_streams.h"

namespace vexa {
namespace {

constexpr std::size_t kReadBytes = 64 * 1024;
// While the site question is open a page can go on calling; this much waits
// for the answer, the rest is refused at once so memory stays bounded.
constexpr std::size_t kMaxWaitingCalls = 64;
constexpr std::size_t kMaxWaitingBytes = 8 * 1024 * 1024;
constexpr std::string_view kTooManyWaiting = "too many calls are waiting for the site question";

} // namespace

// The page's control and the dispatcher in front of it, made by the hello.
struct HostedControl {
    HostedControl(UserQuestion& question, const PageIdentity& identity)
        : control(question, identity), dispatcher(control, control) {}

    ChipCardControl control;
    ScriptDispatcher dispatcher;
};

HostSession::HostSession(platform::WaitHandle input, std::ostream& output) : input_(input), output_(output), buffer_(kReadBytes) {}

HostSession::~HostSession() = default;

int HostSession::run() {
    while (output_) {
        while (!queue_.empty() && output_) {
            const IncomingFrame frame = std::move(queue_.front());
            queue_.pop_front();
            handle(frame);
            deliverEvents();
        }
        if (inputEnded_ || !output_) break;
        waitForInput();
    }
    return broken_ || !output_ ? 1 : 0;
}

void HostSession::handle(const IncomingFrame& frame) {
    if (!frame.error.empty()) {
        send(refusalMessage(HostJson(), frame.error));
        return;
    }
    const IncomingMessage message = classifyMessage(frame.body);
    switch (message.kind) {
        case IncomingMessage::Hello:
            greet(message.parsed.value["hello"]);
            break;
        case IncomingMessage::Answer:
            send(refusalMessage(HostJson(), "no question is waiting for an answer"));
            break;
        case IncomingMessage::Call:
            call(message.parsed);
            break;
    }
}

void HostSession::greet(const HostJson& hello) {
    if (hosted_) {
        send(refusalMessage(HostJson(), "the connection has already been opened by a hello"));
        return;
    }
    std::string problem;
    const auto identity = parseHello(hello, problem);
    if (!identity) {
        send(refusalMessage(HostJson(), problem));
        return;
    }
    UserQuestion& question = *this;
    hosted_ = std::make_unique<HostedControl>(question, *identity);
    send(readyMessage());
}

void HostSession::call(const ParsedCall& parsed) {
    if (!hosted_) {
        send(refusalMessage(parsed.id, "the connection must be opened by a hello first"));
        return;
    }
    for (const std::string& message : splitAnswer(hosted_->dispatcher.answer(parsed))) {
        if (!send(message)) return;
    }
}

void HostSession::waitForInput() {
    // The question is modal: nothing but input is awaited until its answer.
    ChipCardControl* control = hosted_ && !asking_ ? &hosted_->control : nullptr;
    const std::array<platform::WaitHandle, 2> handles{input_,
                                                      control ? control->mailbox().wakeHandle() : platform::kNoWaitHandle};
    std::array<bool, 2> ready{};
    if (pollForInput(handles, ready, control) < 0) {
        if (errno == EINTR) return;
        report(std::string("cannot wait for input: ") + std::strerror(errno));
        broken_ = inputEnded_ = true;
        return;
    }
    if (ready[1]) {
        control->mailbox().clearWake();
        deliverEvents();
    }
    if (ready[0]) {
        std::vector<IncomingFrame> frames;
        readInput(frames);
        receive(frames);
    }
}

bool HostSession::readInput(std::vector<IncomingFrame>& out) {
    std::ptrdiff_t n;
    do {
        n = platform::readSome(input_, buffer_);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        decoder_.feed(std::span<const char>(buffer_.data(), static_cast<std::size_t>(n)), out);
        return true;
    }
    inputEnded_ = true;
    const std::string cut =
        n < 0 ? std::string("cannot read the input: ") + std::strerror(errno) : decoder_.endOfInput();
    if (!cut.empty()) {
        broken_ = true;
        report(cut + "; the connection ends");
    }
    return false;
}

bool HostSession::ask(std::string_view caption, std::string_view text) {
    const std::string question = questionMessage(caption, text);
    if (question.size() > kMaxOutgoingMessageBytes) {
        report("the site question is longer than the browser accepts; it counts as Cancel");
        return false;
    }
    if (!send(question)) return false;
    // Calls that came in one read with Open are queued already; they count
    // against the same bound as those that come while the question is open.
    std::deque<IncomingFrame> arrived;
    arrived.swap(queue_);
    for (IncomingFrame& frame : arrived) holdOrRefuse(std::move(frame));
    // Modal: whatever else arrives waits in the queue until the answer.
    asking_ = true;
    answer_.reset();
    while (!answer_ && !inputEnded_) waitForInput();
    asking_ = false;
    return answer_.value_or(false);
}

void HostSession::receive(std::vector<IncomingFrame>& frames) {
    for (IncomingFrame& frame : frames) {
        if (!asking_ || answer_) {
            queue_.push_back(std::move(frame));
        } else if (!takeAnswer(frame)) {
            holdOrRefuse(std::move(frame));
        }
    }
}

bool HostSession::takeAnswer(const IncomingFrame& frame) {
    if (!frame.error.empty()) return false;
    const IncomingMessage message = classifyMessage(frame.body);
    if (message.kind != IncomingMessage::Answer) return false;
    answer_ = parseAnswer(message.parsed.value["answer"]);
    if (!answer_) send(refusalMessage(HostJson(), "the answer must be \"ok\" or \"cancel\""));
    return true;
}

void HostSession::holdOrRefuse(IncomingFrame&& frame) {
    if (hasRoomFor(frame)) {
        queue_.push_back(std::move(frame));
        return;
    }
    HostJson id;
    if (frame.error.empty()) id = classifyMessage(frame.body).parsed.id;
    send(refusalMessage(id, kTooManyWaiting));
}

bool HostSession::hasRoomFor(const IncomingFrame& frame) const {
    if (queue_.size() >= kMaxWaitingCalls) return false;
    std::size_t bytes = frame.body.size();
    for (const IncomingFrame& waiting : queue_) bytes += waiting.body.size();
    return bytes <= kMaxWaitingBytes;
}

void HostSession::deliverEvents() {
    if (!hosted_) return;
    while (output_ &&
           hosted_->control.mailbox().deliver([this](const CardEvent& event) { send(eventMessage(event)); })) {
    }
}

bool HostSession::send(std::string_view message) {
    if (!output_) return false;
    if (message.size() > kMaxOutgoingMessageBytes) {
        report("a message of " + std::to_string(message.size()) + " bytes is longer than the browser accepts; dropped");
        return true;
    }
    const std::string frame = buildFrame(message);
    output_.write(frame.data(), static_cast<std::streamsize>(frame.size()));
    output_.flush();
    if (!output_) report("the browser no longer reads; the connection ends");
    return static_cast<bool>(output_);
}

void HostSession::report(std::string_view text) {
    std::cerr << "vexa-host: " << text << '\n';
    if (hosted_) hosted_->control.log().write(LOG_ERROR, text);
}

} // namespace vexa
