#include "control/request_tool.h"

#include <charconv>
#include <iostream>
#include <iterator>
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "control/codepage.h"
#include "core/server_batch.h"
#include "support/cipher.h"

namespace vexa {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kUsage =
    "usage: vexa request build [--client ID] [--transaction ID] [--process N] [--continue]\n"
    "                          [--release] [--plain] [COMMAND-OPTIONS] APDU ...\n"
    "       vexa request read [--plain] [TEXT]      (TEXT from stdin when left out)\n"
    "  build writes a request for ExecuteRequest: each APDU (hex, blanks allowed) is one\n"
    "  command; --reconnect SECONDS, --stop and --control CODE apply to the next APDU.\n"
    "  read shows a response (or request) as JSON. --plain: hex without enciphering,\n"
    "  for ExecuteRequest with encoded 0.\n";

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
        throw Refused{std::string(option) + " takes a number, not '" + std::string(text) + "'"};
    return value;
}

ByteBuffer apduBytes(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != ' ') digits += c;
    ByteBuffer bytes;
    const bool hex = digits.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (digits.empty() || digits.size() % 2 != 0 || !hex || !bytes.assignHex(digits, false))
        throw Refused{"'" + std::string(text) + "' is no APDU in hex"};
    return bytes;
}

int build(std::span<char*> args, std::ostream& out) {
    ServerRequest request;
    request.header.functionId = kExecuteFunctionId;
    bool plain = false;
    RequestCommand next;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const auto value = [&]() -> std::string_view {
            if (i + 1 >= args.size()) throw Refused{std::string(arg) + " needs a value"};
            return args[++i];
        };
        if (arg == "--client") {
            request.header.clientId = utf8ToCp1252(value());
        } else if (arg == "--transaction") {
            request.header.transactionId = utf8ToCp1252(value());
        } else if (arg == "--process") {
            request.header.processId = number<std::int32_t>(arg, value());
        } else if (arg == "--continue") {
            request.continueOnError = true;
        } else if (arg == "--release") {
            request.release = true;
        } else if (arg == "--plain") {
            plain = true;
        } else if (arg == "--reconnect") {
            next.reconnect = true;
            next.reconnectSeconds = number<std::int32_t>(arg, value());
        } else if (arg == "--stop") {
            next.stopOnSuccess = true;
        } else if (arg == "--control") {
            next.controlCode = number<std::uint32_t>(arg, value());
        } else if (arg.starts_with("--")) {
            throw Refused{"unknown option '" + std::string(arg) + "'"};
        } else {
            next.apdu = apduBytes(arg);
            request.commands.push_back(std::move(next));
            next = {};
        }
    }
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

int read(std::span<char*> args, std::istream& in, std::ostream& out) {
    bool plain = false;
    std::optional<std::string> text;
    for (const char* arg : args) {
        const std::string_view a = arg;
        if (a == "--plain")
            plain = true;
        else if (a.starts_with("--") || text)
            throw Refused{"unexpected argument '" + std::string(a) + "'"};
        else
            text = a;
    }
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
    try {
        if (!args.empty() && std::string_view(args[0]) == "build") return build(args.subspan(1), out);
        if (!args.empty() && std::string_view(args[0]) == "read") return read(args.subspan(1), in, out);
    } catch (const Refused& refused) {
        err << "vexa request: " << refused.text << '\n';
        return 2;
    }
    err << kUsage;
    return 2;
}

} // namespace vexa
