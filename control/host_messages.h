#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "control/chip_card_control.h"
#include "control/event_mailbox.h"
#include "control/script_dispatcher.h"
#include "control/script_method.h"

// The messages between the browser extension and the host, apart from the
// script calls and their answers, which the script dispatcher makes:
//   extension -> host: {"hello": {"url": "...", "origin": "...", "browser": "..."}},
//                      first, "origin" optional;
//                      {"answer": "ok" | "cancel"} to a question
//   host -> extension: {"ready": {"version": "<the version>"}} after the hello;
//                      {"question": {"caption": "...", "text": "..."}};
//                      {"event": "<name>", "args": [...]};
//                      {"id": ..., "error": "..."} for a message refused.
namespace vexa {

using HostJson = nlohmann::ordered_json;

// What an incoming message is.
struct IncomingMessage {
    enum Kind { Hello, Answer, Call };
    Kind kind = Call;
    // The message bounded and parsed as a call; a hello or an answer is
    // taken from its value, a call goes on to the dispatcher as it is.
    ParsedCall parsed;
};

// Parses a message once and sorts it by its keys; anything but a hello or
// an answer is a call.
IncomingMessage classifyMessage(std::string_view body);
// The page's identity from a hello's value; nullopt with problem set when a
// member is missing or not a string.
std::optional<PageIdentity> parseHello(const HostJson& hello, std::string& problem);
// true for "ok", false for "cancel", nullopt for anything else.
std::optional<bool> parseAnswer(const HostJson& answer);

// An event as the page receives it: its name and its arguments in order.
struct ScriptEvent {
    std::string_view name;
    ScriptParams args;
};

// The seven events, indexed by CardEventKind; the build writes their names
// into the extension and into the reference's declarations.
std::span<const ScriptEvent> scriptEvents();

std::string readyMessage();
// Caption and text are narrow (Windows-1252).
std::string questionMessage(std::string_view caption, std::string_view text);
std::string eventMessage(const CardEvent& event);
// An error answer that echoes id only when it is a plain value of modest
// size; a refused message's id cannot be trusted to be either.
std::string refusalMessage(const HostJson& id, std::string_view text);

} // namespace vexa
