#include "control/script_dispatcher.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/script_method.h"
#include "support/codepage.h"

namespace vexa {
namespace {

using Json = nlohmann::ordered_json;

// The answer when even an error answer cannot be made.
constexpr char kInternalError[] = R"({"id":null,"error":"internal error"})";

// A call that cannot be made; the text goes into the error answer.
class CallRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

Json errorAnswer(const Json& id, std::string_view text) {
    Json answer = Json::object();
    answer["id"] = id;
    answer["error"] = text;
    return answer;
}

std::string dumpLine(const Json& answer) {
    return answer.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string countText(std::size_t n) {
    if (n == 0) {
        return "no arguments";
    }
    return std::to_string(n) + (n == 1 ? " argument" : " arguments");
}

const ScriptMethod& methodOf(const Json& call) {
    const auto it = call.find("method");
    if (it == call.end()) {
        throw CallRefused("the call has no \"method\"");
    }
    if (!it->is_string()) {
        throw CallRefused("\"method\" must be a string");
    }
    const auto& name = it->get_ref<const std::string&>();
    const ScriptMethod* method = findScriptMethod(name);
    if (method == nullptr) {
        throw CallRefused("unknown method " + Json(name).dump(-1, ' ', false, Json::error_handler_t::replace));
    }
    return *method;
}

std::string argumentName(const ScriptMethod& method, std::size_t index) {
    return "argument " + std::to_string(index + 1) + " of " + std::string(method.name);
}

std::string stringArgument(const ScriptMethod& method, std::size_t index, const Json& arg) {
    if (!arg.is_string()) {
        throw CallRefused(argumentName(method, index) + " must be a string");
    }
    const auto& text = arg.get_ref<const std::string&>();
    // The plug-in reads texts up to their first zero byte; cutting silently
    // would run the operation on less than the page sent.
    if (text.find('\0') != std::string::npos) {
        throw CallRefused(argumentName(method, index) + " must not contain a zero character");
    }
    return utf8ToCp1252(text);
}

std::int32_t longArgument(const ScriptMethod& method, std::size_t index, const Json& arg) {
    constexpr auto lowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto highest = std::numeric_limits<std::int32_t>::max();
    const auto outOfRange = [&] {
        return CallRefused(argumentName(method, index) + " is outside the signed 32-bit range");
    };
    if (arg.is_number_unsigned()) {
        const auto value = arg.get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(highest)) throw outOfRange();
        return static_cast<std::int32_t>(value);
    }
    if (arg.is_number_integer()) {
        const auto value = arg.get<std::int64_t>();
        if (value < lowest || value > highest) throw outOfRange();
        return static_cast<std::int32_t>(value);
    }
    // Integers too long for 64 bits arrive as floating-point numbers.
    if (arg.is_number_float() && std::fabs(arg.get<double>()) >= 2147483648.0) {
        throw outOfRange();
    }
    throw CallRefused(argumentName(method, index) + " must be an integer");
}

const Json& argsArrayOf(const Json& call, const ScriptMethod& method) {
    static const Json kNoArgs = Json::array();
    const auto it = call.find("args");
    if (it == call.end()) {
        if (method.args.count == 0) {
            return kNoArgs;
        }
        throw CallRefused("the call has no \"args\"; " + std::string(method.name) + " expects " +
                          countText(method.args.count));
    }
    if (!it->is_array()) {
        throw CallRefused("\"args\" must be an array");
    }
    return *it;
}

std::vector<ScriptValue> argumentsOf(const Json& call, const ScriptMethod& method) {
    const Json& given = argsArrayOf(call, method);
    const auto params = method.args.view();
    if (given.size() != params.size()) {
        throw CallRefused(std::string(method.name) + " expects " + countText(params.size()) + ", got " +
                          std::to_string(given.size()));
    }
    std::vector<ScriptValue> values;
    values.reserve(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].kind == ScriptKind::String) {
            values.emplace_back(stringArgument(method, i, given[i]));
        } else {
            values.emplace_back(longArgument(method, i, given[i]));
        }
    }
    return values;
}

struct ResultToJson {
    Json operator()(const std::string& narrow) const {
        // A narrow result ends at its first zero byte, as it would for a C caller.
        return cp1252ToUtf8(std::string_view(narrow).substr(0, narrow.find('\0')));
    }
    Json operator()(std::int32_t number) const { return number; }
};

// Whether arrays and objects nest deeper than limit, counting only brackets
// outside JSON strings; works on any text, valid JSON or not.
bool nestsDeeperThan(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

// Reads a call text only as far as its top-level "id" and keeps the id when
// it is a plain value; stops at the first fault or anything nested under it.
class IdFinder : public nlohmann::json_sax<Json> {
public:
    Json id;

    bool null() override { return take(Json()); }
    bool boolean(bool value) override { return take(value); }
    bool number_integer(number_integer_t value) override { return take(value); }
    bool number_unsigned(number_unsigned_t value) override { return take(value); }
    bool number_float(number_float_t value, const string_t&) override { return take(value); }
    bool string(string_t& value) override { return take(value); }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(); }
    bool start_array(std::size_t) override { return open(); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }
    bool key(string_t& name) override {
        idNext_ = depth_ == 1 && name == "id";
        return true;
    }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

private:
    bool take(Json value) {
        if (!idNext_) return true;
        id = std::move(value);
        return false;
    }
    bool open() {
        // An id that is an object or an array is not echoed.
        if (idNext_ || (depth_ == 0 && seenTop_)) return false;
        seenTop_ = true;
        ++depth_;
        return true;
    }
    bool close() {
        --depth_;
        return depth_ > 0;
    }

    int depth_ = 0;
    bool seenTop_ = false;
    bool idNext_ = false;
};

Json idOfRefused(std::string_view text, std::size_t scanBytes) {
    IdFinder finder;
    const std::string_view start = text.substr(0, scanBytes);
    Json::sax_parse(start.begin(), start.end(), &finder, nlohmann::detail::input_format_t::json, false);
    return finder.id;
}

} // namespace

ScriptDispatcher::ScriptDispatcher(ChipCardPlugin& plugin, ScriptHost& host) : plugin_(plugin), host_(host) {}

Json ScriptDispatcher::dispatch(const Json& call) {
    if (!call.is_object()) {
        return errorAnswer(nullptr, "the call must be a JSON object");
    }
    const auto idIt = call.find("id");
    const Json id = idIt == call.end() ? Json() : *idIt;
    try {
        const ScriptMethod& method = methodOf(call);
        const std::vector<ScriptValue> args = argumentsOf(call, method);
        const ScriptValue result = method.handler(ScriptCall{plugin_, host_, args});
        Json answer = Json::object();
        answer["id"] = id;
        answer["result"] = std::visit(ResultToJson{}, result);
        return answer;
    } catch (const CallRefused& refused) {
        return errorAnswer(id, refused.what());
    }
}

ParsedCall ScriptDispatcher::parse(std::string_view text) {
    ParsedCall call;
    if (text.size() > kMaxCallBytes) {
        call.value = Json(Json::value_t::discarded);
        call.refusal = "the call is longer than " + std::to_string(kMaxCallBytes) + " bytes";
        call.id = idOfRefused(text, kIdScanBytes);
        return call;
    }
    // Parsing and destroying are iterative, so nesting cannot exhaust the
    // stack here; the bound below comes before anything is echoed.
    call.value = Json::parse(text, nullptr, false);
    if (nestsDeeperThan(text, kMaxNesting)) {
        call.refusal = "the call nests arrays or objects more than " + std::to_string(kMaxNesting) + " levels deep";
    } else if (call.value.is_discarded()) {
        call.refusal = "the call is not valid JSON";
    }
    if (!call.refusal.empty()) {
        call.id = idOfRefused(text, kIdScanBytes);
    } else if (call.value.is_object() && call.value.contains("id")) {
        call.id = call.value["id"];
    }
    return call;
}

std::string ScriptDispatcher::answer(const ParsedCall& call) noexcept {
    try {
        if (!call.refusal.empty()) {
            return dumpLine(errorAnswer(call.id, call.refusal));
        }
        return dumpLine(dispatch(call.value));
    } catch (...) {
        return kInternalError;
    }
}

std::string ScriptDispatcher::handleLine(std::string_view line) noexcept {
    try {
        return answer(parse(line));
    } catch (...) {
        return kInternalError;
    }
}

} // namespace vexa
