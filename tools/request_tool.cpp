#include "tools/request_tool.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <iostream>
#include <iterator>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/server_batch.h"
#include "support/cipher.h"
#include "support/codepage.h"
#include "support/option_parser.h"
#include "support/version.h"

namespace vexa {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<OptionSpec, 9> kBuildOptions{{
    {"--client", "ID", "the client id of the request"},
    {"--transaction", "ID", "the transaction id"},
    {"--process", "N", "the process id"},
    {"--continue", "", "go on after a failing command"},
    {"--release", "", "only release the card (reset it); no commands"},
    {"--plain", "", "hex without enciphering, for ExecuteRequest with encoded 0"},
    {"--reconnect", "SECONDS", "reconnect before the next APDU, retrying for SECONDS (0: once)"},
    {"--stop", "", "end the batch after the next APDU if it succeeds"},
    {"--control", "CODE", "send the next APDU to the reader as control code CODE"},
}};

constexpr std::array<OptionSpec, 1> kReadOptions{{
    {"--plain", "", "hex without enciphering, for ExecuteRequest with encoded 0"},
}};

constexpr ProgramText kBuildProgram{"vexa request build", kVersion,
                                    "vexa request build [--client ID] [--transaction ID] [--process N] [--continue]\n"
                                    "                   [--release] [--plain] [COMMAND-OPTIONS] APDU ...",
                                    "Writes a request for ExecuteRequest: each APDU (hex, blanks allowed) is one\n"
                                    "command; --reconnect, --stop and --control apply to the next APDU.\n"
                                    "Numbers may be given in hex as 0x...",
                                    SIZE_MAX};

constexpr ProgramText kReadProgram{"vexa request read", kVersion, "vexa request read [--plain] [TEXT]",
                                   "Shows a response (or request) as JSON; TEXT from stdin when left out.", 1};

constexpr ProgramText kRequestProgram{"vexa request", kVersion,
                                      "vexa request build [OPTION]... APDU ...\n"
                                      "vexa request read [--plain] [TEXT]",
                                      "'vexa request build --help' and 'vexa request read --help' tell more.", 1};

struct Refused {
    std::string text;
};

template <typename Int>
Int number(std::string_view option, std::string_view text) {
    Int value{};
    int base = 10;
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.remove_prefix(2);
        base = 16;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        throw OptionError(std::string(option), "takes a number, not '" + std::string(text) + "'");
    return value;
}

ByteBuffer apduBytes(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    ByteBuffer bytes;
    const bool hex = digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (digits.empty() || digits.size() % 2 != 0 || !hex || !bytes.assignHex(digits, false))
        throw OptionError(std::string(text), "not an APDU in hex");
    return bytes;
}

// The options in the order given: each command option applies to the APDU
// after it.
ServerRequest requestFrom(const ParsedOptions& options, bool& plain) {
    ServerRequest request;
    request.header.functionId = kExecuteFunctionId;
    RequestCommand next;
    for (const auto& [option, value] : options.items()) {
        if (option == "--client") {
            request.header.clientId = utf8ToCp1252(value);
        } else if (option == "--transaction") {
            request.header.transactionId = utf8ToCp1252(value);
        } else if (option == "--process") {
            request.header.processId = number<std::int32_t>(option, value);
        } else if (option == "--continue") {
            request.continueOnError = true;
        } else if (option == "--release") {
            request.release = true;
        } else if (option == "--plain") {
            plain = true;
        } else if (option == "--reconnect") {
            next.reconnect = true;
            next.reconnectSeconds = number<std::int32_t>(option, value);
        } else if (option == "--stop") {
            next.stopOnSuccess = true;
        } else if (option == "--control") {
            next.controlCode = number<std::uint32_t>(option, value);
        } else {
            next.apdu = apduBytes(value);
            request.commands.push_back(std::move(next));
            next = {};
        }
    }
    return request;
}

int build(const ParsedOptions& options, std::ostream& out) {
    bool plain = false;
    const ServerRequest request = requestFrom(options, plain);
    TlvBuffer message;
    message.allocate(kMessageCapacity);
    if (!writeRequest(message, request))
        throw Refused{"the request does not fit a message (255 bytes per element, 8192 in all)"};
    std::string text;
    if (plain)
        text = message.toHex(false);
    else if (!encipherTlv(message, kTransportKey, text))
        throw Refused{"the request cannot be enciphered"};
    out << text << '\n';
    return 0;
}

Json headerJson(const RequestHeader& header) {
    return Json{{"version", header.version},
                {"functionId", header.functionId},
                {"processId", header.processId},
                {"clientId", cp1252ToUtf8(header.clientId)},
                {"transactionId", cp1252ToUtf8(header.transactionId)},
                {"errorCode", header.errorCode}};
}

std::string lowerHex(const ByteBuffer& bytes) {
    std::string text = bytes.toHex(true);
    if (!text.empty()) text.pop_back();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int read(const ParsedOptions& options, std::istream& in, std::ostream& out) {
    const bool plain = options.has("--plain");
    std::optional<std::string> text;
    if (!options.operands().empty()) text = std::string(options.operands().front());
    if (!text) text = std::string(std::istreambuf_iterator<char>(in), {});
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r' || text->back() == ' ')) text->pop_back();

    TlvBuffer message;
    message.allocate(kMessageCapacity);
    const bool loaded = plain ? message.loadHex(*text, false) : decipherTlv(*text, kTransportKey, message);
    if (!loaded) throw Refused{plain ? "the text is not hex" : "the text cannot be deciphered"};
    const ServerResponse response = readResponse(message);
    message.rewind();
    const ServerRequest request = readRequest(message);

    Json json{{"header", headerJson(response.header)}};
    if (!request.commands.empty() || response.results.empty()) {
        json["release"] = request.release;
        json["continue"] = request.continueOnError;
        Json commands = Json::array();
        for (const RequestCommand& c : request.commands)
            commands.push_back({{"apdu", lowerHex(c.apdu)},
                                {"reconnect", c.reconnect},
                                {"reconnectSeconds", c.reconnectSeconds},
                                {"stop", c.stopOnSuccess},
                                {"control", c.controlCode}});
        json["commands"] = commands;
    }
    if (!response.results.empty() || request.commands.empty()) {
        json["cardRemoved"] = response.cardRemoved;
        Json results = Json::array();
        for (const CommandResult& r : response.results)
            results.push_back({{"answer", lowerHex(r.answer)}, {"code", r.code}, {"text", cp1252ToUtf8(r.text)}});
        json["results"] = results;
    }
    out << json.dump() << '\n';
    return 0;
}

} // namespace

int runRequestTool(std::span<char*> args, std::istream& in, std::ostream& out, std::ostream& err) {
    const std::string_view command = args.empty() ? "" : args[0];
    const bool building = command == "build";
    if (!building && command != "read") {
        OptionParser parser(kRequestProgram, {});
        parser.setStreams(out, err);
        if (args.empty()) {
            parser.printHelp(err);
            return 2;
        }
        if (!parser.parse(args.first(1))) return parser.exitStatus();
        return parser.refuse(command, "unknown command");
    }
    OptionParser parser(building ? kBuildProgram : kReadProgram,
                        building ? std::span<const OptionSpec>(kBuildOptions) : kReadOptions);
    parser.setStreams(out, err);
    const auto options = parser.parse(args.subspan(1));
    if (!options) return parser.exitStatus();
    try {
        return building ? build(*options, out) : read(*options, in, out);
    } catch (const OptionError& e) {
        return parser.refuse(e.option(), e.reason());
    } catch (const Refused& refused) {
        err << (building ? kBuildProgram : kReadProgram).name << ": " << refused.text << '\n';
        return 2;
    }
}

} // namespace vexa
