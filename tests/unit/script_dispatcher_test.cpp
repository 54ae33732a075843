#include "control/script_dispatcher.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "control/script_method.h"
#include "core/chip_card_plugin.h"
#include "plugin_environment.h"
#include "temp_files.h"

namespace vexa {
namespace {

using nlohmann::json;

class CountingHost : public ScriptHost {
public:
    void restartPlugin() override { ++restarts; }
    int restarts = 0;
};

class ScriptDispatcherTest : public ::testing::Test {
protected:
    json ask(std::string_view line) { return json::parse(dispatcher.handleLine(line)); }

    json call(const json& method, const json& args) {
        return ask(json{{"id", 7}, {"method", method}, {"args", args}}.dump());
    }

    // The text of an error answer, "" (and a test failure) for anything else.
    std::string errorOf(std::string_view line) {
        const json answer = ask(line);
        EXPECT_TRUE(answer.contains("error")) << line << " -> " << answer;
        EXPECT_FALSE(answer.contains("result")) << line;
        return answer.value("error", "");
    }

    json resultOf(const json& method, const json& args) {
        const json answer = call(method, args);
        EXPECT_EQ(answer.value("id", json()), 7) << answer;
        EXPECT_TRUE(answer.contains("result")) << method << args << " -> " << answer;
        return answer.value("result", json());
    }

    ChipCardPlugin plugin;
    CountingHost host;
    ScriptDispatcher dispatcher{plugin, host};
};

TEST_F(ScriptDispatcherTest, AnswersWithTheCallersId) {
    for (const char* id : {"1", "\"abc\"", "null", "{\"n\":[1,2]}", "-3.5"}) {
        const json answer = ask(std::string(R"({"method":"GetVersion","args":[0],"id":)") + id + "}");
        EXPECT_EQ(answer["id"], json::parse(id));
        EXPECT_EQ(answer["result"], "2.0.0.2");
    }
    EXPECT_TRUE(ask(R"({"method":"GetVersion","args":[0]})")["id"].is_null());
    EXPECT_EQ(ask(R"({"id":"x","method":"Nope","args":[]})")["id"], "x");
}

TEST_F(ScriptDispatcherTest, RefusesMalformedCallsWithoutTouchingThePlugin) {
    ASSERT_EQ(resultOf("GetVersion", {5}), ""); // leaves 992201 behind
    const std::string deep = std::string(100, '[') + std::string(100, ']');
    const struct {
        std::string line;
        std::string error;
    } cases[] = {
        {"hello", "the call is not valid JSON"},
        {"", "the call is not valid JSON"},
        {R"({"id":1,"method":"GetVersion","args":[0])", "the call is not valid JSON"},
        {"{\"method\":\"Str2Hex\",\"args\":[\"\xC3\"]}", "the call is not valid JSON"},
        {"[1,2]", "the call must be a JSON object"},
        {"42", "the call must be a JSON object"},
        {R"({"id":1})", "the call has no \"method\""},
        {R"({"id":1,"method":23,"args":[0]})", "\"method\" must be a string"},
        {R"({"id":1,"method":"getversion","args":[0]})", "unknown method \"getversion\""},
        {R"({"id":1,"method":"GetVersion","args":0})", "\"args\" must be an array"},
        {R"({"id":1,"method":"GetLastErrorCode","args":null})", "\"args\" must be an array"},
        {R"({"id":1,"method":"GetVersion"})", "the call has no \"args\"; GetVersion expects 1 argument"},
        {deep, "the call nests arrays or objects more than 64 levels deep"},
        {std::string(ScriptDispatcher::kMaxCallBytes + 1, ' '), "the call is longer than 1048576 bytes"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorOf(c.line), c.error) << c.line.substr(0, 80);
    }
    EXPECT_EQ(resultOf("GetLastErrorCode", json::array()), 992201);
    EXPECT_EQ(host.restarts, 0);
}

TEST_F(ScriptDispatcherTest, RefusedCallsAnswerWithTheIdThatComesFirst) {
    const std::string huge(ScriptDispatcher::kMaxCallBytes, 'x');
    const struct {
        std::string line;
        json id;
    } cases[] = {
        {R"({"id":22,"method":"Hex2Str","args":["\ud800"]})", 22},
        {R"({"id":"a","method":"Hex2Str","args":["\udc00x"]})", "a"},
        {R"({"id":7,"method":"Str2Hex","args":[")" + huge + R"("]})", 7},
        {R"({"id":8,"x":)" + std::string(100, '[') + std::string(100, ']') + "}", 8},
        {R"({"method":"Hex2Str","id":9.5,"args":[)", 9.5},
        // Not first, not plain, not at the top, or past the scanned start.
        {R"({"method":"Str2Hex","args":[")" + huge + R"("],"id":7})", nullptr},
        {R"({"id":{"n":1},"args":[)", nullptr},
        {R"({"x":{"id":3},"args":[)", nullptr},
        {R"([{"id":3},)", nullptr},
        {R"({")" + std::string(ScriptDispatcher::kIdScanBytes, 'k') + R"(":0,"id":3,)", nullptr},
        {"{\"id\":\xC3}", nullptr},
    };
    for (const auto& c : cases) {
        const json answer = ask(c.line);
        EXPECT_EQ(answer.value("id", json("missing")), c.id) << c.line.substr(0, 80);
        EXPECT_TRUE(answer.contains("error")) << c.line.substr(0, 80);
    }
}

TEST_F(ScriptDispatcherTest, NestingInsideStringsDoesNotCount) {
    const std::string brackets(200, '[');
    EXPECT_EQ(resultOf("Str2Hex", {"\\\"" + brackets}), plugin.Str2Hex("\\\"" + brackets));
    EXPECT_EQ(ask(json{{"id", std::string(63, '[')}, {"method", "GetVersion"}, {"args", {4}}}.dump())["result"], "2");
}

TEST_F(ScriptDispatcherTest, ChecksArgumentCountAndKinds) {
    ASSERT_EQ(resultOf("Hex2Str", {"GG"}), ""); // leaves 992200 behind
    const struct {
        json method;
        json args;
        std::string error;
    } cases[] = {
        {"GetVersion", json::array(), "GetVersion expects 1 argument, got 0"},
        {"GetVersion", {1, 2}, "GetVersion expects 1 argument, got 2"},
        {"GetLastErrorCode", {1}, "GetLastErrorCode expects no arguments, got 1"},
        {"EncodeRequest", {"a"}, "EncodeRequest expects 5 arguments, got 1"},
        {"GetVersion", {1.5}, "argument 1 of GetVersion must be an integer"},
        {"GetVersion", {true}, "argument 1 of GetVersion must be an integer"},
        {"GetVersion", {nullptr}, "argument 1 of GetVersion must be an integer"},
        {"GetVersion", {"0"}, "argument 1 of GetVersion must be an integer"},
        {"Hex2Str", {41}, "argument 1 of Hex2Str must be a string"},
        {"Hex2Str",
         {std::string("41\0"
                      "42",
                      5)},
         "argument 1 of Hex2Str must not contain a zero character"},
        {"ConnectCardEx", {"R", 1, "2", 0}, "argument 3 of ConnectCardEx must be an integer"},
        {"SendIOCTL", {1, 2, 3}, "argument 3 of SendIOCTL must be a string"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(call(c.method, c.args).value("error", ""), c.error) << c.method << c.args;
    }
    EXPECT_EQ(resultOf("GetLastErrorCode", json::array()), 992200);
}

TEST_F(ScriptDispatcherTest, IntegersMustFitSigned32Bits) {
    EXPECT_EQ(resultOf("GetErrorText", {2147483647}), plugin.GetErrorText(2147483647));
    EXPECT_EQ(resultOf("GetErrorText", {-2147483647 - 1}), plugin.GetErrorText(-2147483647 - 1));
    EXPECT_EQ(resultOf("GetErrorText", {-1}), "Interner Fehler");
    const std::string outOfRange = "argument 1 of GetErrorText is outside the signed 32-bit range";
    for (const char* number : {"2147483648", "-2147483649", "18446744073709551615", "99999999999999999999999",
                               "-99999999999999999999999", "1e300"}) {
        const std::string line = std::string(R"({"id":1,"method":"GetErrorText","args":[)") + number + "]}";
        EXPECT_EQ(errorOf(line), outOfRange) << number;
    }
}

TEST_F(ScriptDispatcherTest, ConvertsStringsBetweenUtf8AndWindows1252) {
    EXPECT_EQ(resultOf("Str2Hex", {"\xC3\xA4\xE2\x82\xAC"}), plugin.Str2Hex("\xE4\x80")); // ä€
    EXPECT_EQ(resultOf("Str2Hex", {"\xE6\x97\xA5"}), plugin.Str2Hex("?"));                // 日
    EXPECT_EQ(resultOf("Hex2Str", {"e4 80"}), "\xC3\xA4\xE2\x82\xAC");
    EXPECT_EQ(resultOf("Hex2Str", {"81"}), "\xC2\x81");
    EXPECT_EQ(resultOf("Hex2Str", {"41 42 43"}), "ABC");
}

TEST_F(ScriptDispatcherTest, StringResultEndsAtItsFirstZeroByte) {
    EXPECT_EQ(resultOf("Hex2Str", {"41 00 42"}), "A");
    EXPECT_EQ(resultOf("Hex2Str", {"00 41"}), "");
}

// Each row's handler reads its arguments at the kinds the row declares and
// answers with the row's result kind; a row that disagrees with its handler
// answers "internal error" or hands the page the wrong type.
TEST(ScriptMethodTable, EveryMethodDispatchesAndAnswersWithItsResultKind) {
    testing::PluginEnvironment user; // SetMode and Open read and write the user's files
    ChipCardPlugin plugin;
    CountingHost host;
    ScriptDispatcher dispatcher{plugin, host};
    // Never opened, so the card operations stop at the guard and touch no reader.
    for (const ScriptMethod& method : scriptMethods()) {
        json args = json::array();
        for (const ScriptParam& param : method.args.view())
            args.push_back(param.kind == ScriptKind::String ? json("") : json(0));
        const json answer =
            json::parse(dispatcher.handleLine(json{{"id", 1}, {"method", method.name}, {"args", args}}.dump()));
        ASSERT_TRUE(answer.contains("result")) << method.name << " -> " << answer;
        EXPECT_EQ(answer["result"].is_string(), method.result == ScriptKind::String) << method.name << " -> " << answer;
    }
    EXPECT_EQ(host.restarts, 1);
}

TEST_F(ScriptDispatcherTest, RequestMethodsCheckTheirArguments) {
    EXPECT_EQ(call("DecodeRequest", {1}).value("error", ""), "argument 1 of DecodeRequest must be a string");
    EXPECT_EQ(call("ExecuteRequest", {"00", 0}).value("error", ""), "ExecuteRequest expects 3 arguments, got 2");
}

TEST_F(ScriptDispatcherTest, ResetRestartsThePluginThroughTheHost) {
    ASSERT_EQ(resultOf("GetVersion", {9}), "");
    EXPECT_EQ(resultOf("Reset", json::array()), 0);
    EXPECT_EQ(host.restarts, 1);
    EXPECT_EQ(resultOf("GetLastErrorCode", json::array()), 0);
    EXPECT_EQ(call("Reset", {1}).value("error", ""), "Reset expects no arguments, got 1");
    EXPECT_EQ(host.restarts, 1);
}

TEST(ScriptMethodTable, HoldsTwentyNineDistinctMethodsFoundOnlyByExactName) {
    std::set<std::string_view> names;
    for (const ScriptMethod& method : scriptMethods()) {
        names.insert(method.name);
        EXPECT_EQ(findScriptMethod(method.name), &method);
    }
    EXPECT_EQ(names.size(), 29u);
    EXPECT_EQ(scriptMethods()[22].name, "GetVersion"); // dispatch identifier 23
    EXPECT_EQ(findScriptMethod("reset"), nullptr);
    EXPECT_EQ(findScriptMethod(""), nullptr);
}

// The reference's error table: '| code | "text" |' for every code with a
// text, in the words GetErrorText gives.
TEST(ScriptMethodTable, ReferenceListsEveryErrorTextAsTheSystemHasIt) {
    const std::string reference = test_support::fileContents(VEXA_SOURCE_DIR "/docs/page-api.md");
    std::vector<std::int32_t> codes;
    std::istringstream lines(reference);
    for (std::string line; std::getline(lines, line);) {
        // A row of the error table: | <code> | "<text>" |
        std::istringstream row(line);
        std::string bar, text;
        std::int32_t code = 0;
        if (!(row >> bar >> code) || bar != "|" || !(row >> bar) || bar != "|" || !(row >> std::ws) ||
            row.get() != '"' || !std::getline(row, text, '"') || !(row >> bar) || bar != "|" || !(row >> std::ws).eof())
            continue;
        EXPECT_EQ(text, lookupErrorText(code)) << code;
        codes.push_back(code);
    }
    std::vector<std::int32_t> withText{ERR_INTERNAL};
    for (const auto& [first, last] :
         {std::pair{ERR_INVALID_HEX, ERR_NOT_INITIALISED}, std::pair{ERR_CARD_FIRST, ERR_CARD_LAST},
          std::pair{ERR_REMOTE_BAD_ADDRESS, ERR_REMOTE_BAD_ANSWER}}) {
        for (std::int32_t code = first; code <= last; ++code) {
            if (!lookupErrorText(code).empty()) withText.push_back(code);
        }
    }
    EXPECT_EQ(codes, withText);
}

} // namespace
} // namespace vexa
