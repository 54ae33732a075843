#include "control/host_messages.h"

#include <array>

#include "support/codepage.h"
#include "support/version.h"

namespace vexa {
namespace {

std::string dump(const HostJson& message) {
    return message.dump(-1, ' ', false, HostJson::error_handler_t::replace);
}

// Longest id a refusal echoes.
constexpr std::size_t kMaxEchoedIdBytes = 4096;

// The arguments an event carries between its reader and its identifier.
enum class EventExtra { None, AtrAndProtocol, ShareMode };

struct EventShape {
    std::string_view name;
    EventExtra extra;
};

// In slot order, indexed by CardEventKind.
constexpr std::array<EventShape, 7> kEventShapes = {{
    {"OnCardReady", EventExtra::AtrAndProtocol},
    {"OnCardError", EventExtra::None},
    {"OnCardRemoved", EventExtra::None},
    {"OnReaderAdded", EventExtra::None},
    {"OnReaderRemoved", EventExtra::None},
    {"OnCardInuse", EventExtra::ShareMode},
    {"OnCardUnused", EventExtra::None},
}};

bool isStringMember(const HostJson& object, const char* name) {
    const auto it = object.find(name);
    return it != object.end() && it->is_string();
}

} // namespace

IncomingMessage classifyMessage(std::string_view body) {
    IncomingMessage message{IncomingMessage::Call, ScriptDispatcher::parse(body)};
    const HostJson& value = message.parsed.value;
    if (value.is_object()) {
        if (value.contains("hello")) {
            message.kind = IncomingMessage::Hello;
        } else if (value.contains("answer")) {
            message.kind = IncomingMessage::Answer;
        }
    }
    return message;
}

std::optional<PageIdentity> parseHello(const HostJson& hello, std::string& problem) {
    // The origin is left out by browsers that do not give one.
    if (!hello.is_object() || !isStringMember(hello, "url") || !isStringMember(hello, "browser") ||
        (hello.contains("origin") && !isStringMember(hello, "origin"))) {
        problem =
            "the hello must be {\"hello\": {\"url\": <string>, \"origin\": <string, optional>, "
            "\"browser\": <string>}}";
        return std::nullopt;
    }
    return PageIdentity{hello["url"].get<std::string>(), hello["browser"].get<std::string>(),
                        hello.value("origin", std::string())};
}

std::optional<bool> parseAnswer(const HostJson& answer) {
    if (answer == "ok") return true;
    if (answer == "cancel") return false;
    return std::nullopt;
}

std::string readyMessage() {
    return R"({"ready":{"version":")" + std::string(kVersion) + R"("}})";
}

std::string questionMessage(std::string_view caption, std::string_view text) {
    HostJson question = HostJson::object();
    question["caption"] = cp1252ToUtf8(caption);
    question["text"] = cp1252ToUtf8(text);
    HostJson message = HostJson::object();
    message["question"] = std::move(question);
    return dump(message);
}

std::string eventMessage(const CardEvent& event) {
    const EventShape& shape = kEventShapes.at(static_cast<std::size_t>(event.kind));
    HostJson args = HostJson::array();
    args.push_back(cp1252ToUtf8(event.eventReader));
    if (shape.extra == EventExtra::AtrAndProtocol) {
        args.push_back(cp1252ToUtf8(event.eventAtr));
        args.push_back(event.eventProtocol);
    } else if (shape.extra == EventExtra::ShareMode) {
        args.push_back(event.eventShareMode);
    }
    args.push_back(cp1252ToUtf8(event.eventIdentifier));
    HostJson message = HostJson::object();
    message["event"] = shape.name;
    message["args"] = std::move(args);
    return dump(message);
}

std::string refusalMessage(const HostJson& id, std::string_view text) {
    HostJson message = HostJson::object();
    const bool echo = id.is_primitive() && !id.is_discarded() && dump(id).size() <= kMaxEchoedIdBytes;
    message["id"] = echo ? id : HostJson();
    message["error"] = text;
    return dump(message);
}

} // namespace vexa
