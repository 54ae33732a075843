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

constexpr ScriptParam kReader{"readerName", ScriptKind::String};
constexpr ScriptParam kAtr{"atr", ScriptKind::String};
constexpr ScriptParam kProtocol{"protocol", ScriptKind::Long};
constexpr ScriptParam kShareMode{"shareMode", ScriptKind::Long};
constexpr ScriptParam kIdentifier{"eventIdentifier", ScriptKind::String};

// In slot order, indexed by CardEventKind.
constexpr std::array<ScriptEvent, 7> kEvents = {{
    {"OnCardReady", params(kReader, kAtr, kProtocol, kIdentifier)},
    {"OnCardError", params(kReader, kIdentifier)},
    {"OnCardRemoved", params(kReader, kIdentifier)},
    {"OnReaderAdded", params(kReader, kIdentifier)},
    {"OnReaderRemoved", params(kReader, kIdentifier)},
    {"OnCardInuse", params(kReader, kShareMode, kIdentifier)},
    {"OnCardUnused", params(kReader, kIdentifier)},
}};

// What an event carries for one of its arguments.
HostJson argumentOf(const CardEvent& event, const ScriptParam& param) {
    if (param == kAtr) return cp1252ToUtf8(event.eventAtr);
    if (param == kProtocol) return event.eventProtocol;
    if (param == kShareMode) return event.eventShareMode;
    if (param == kIdentifier) return cp1252ToUtf8(event.eventIdentifier);
    return cp1252ToUtf8(event.eventReader);
}

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

std::span<const ScriptEvent> scriptEvents() {
    return kEvents;
}

std::string eventMessage(const CardEvent& event) {
    const ScriptEvent& shape = kEvents.at(static_cast<std::size_t>(event.kind));
    HostJson args = HostJson::array();
    for (const ScriptParam& param : shape.args.view()) args.push_back(argumentOf(event, param));
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
