#include "control/page_api_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "control/host_messages.h"
#include "control/script_dispatcher.h"
#include "control/script_method.h"

namespace vexa {
namespace {

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The names a filled list holds, in order, and a check of its lines' shape.
std::vector<std::string> namesIn(const std::vector<std::string>& lines, const std::string& indent) {
    std::vector<std::string> names;
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.starts_with(indent) && line[indent.size()] == '\'') << line;
        EXPECT_LT(line.size(), 120u) << line;
        EXPECT_EQ(line.back(), ',') << line;
        std::istringstream items(line.substr(indent.size()));
        for (std::string item; items >> item;) names.push_back(item.substr(1, item.size() - 3));
    }
    return names;
}

TEST(PageApiScript, ListsEveryMethodAndEventInTableOrderAtTheLinesIndent) {
    const std::string filled = fillPageApiScript(
        "const a = [\n      @VEXA_METHOD_NAMES@\n];\n"
        "const b = [\n  @VEXA_EVENT_NAMES@\n];\n");
    const auto lines = linesOf(filled);
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines.front(), "const a = [");
    EXPECT_EQ(lines.back(), "];");
    EXPECT_TRUE(filled.ends_with("];\n"));
    const auto close = std::find(lines.begin() + 1, lines.end(), "];");
    const auto open = std::find(lines.begin(), lines.end(), "const b = [");
    ASSERT_TRUE(close + 1 == open);

    std::vector<std::string> methods;
    for (const ScriptMethod& method : scriptMethods()) methods.emplace_back(method.name);
    EXPECT_EQ(namesIn({lines.begin() + 1, close}, "      "), methods);
    EXPECT_GT(close - lines.begin(), 2) << "29 names wrap onto several lines";

    std::vector<std::string> events;
    for (const ScriptEvent& event : scriptEvents()) events.emplace_back(event.name);
    EXPECT_EQ(namesIn({open + 1, lines.end() - 1}, "  "), events);
}

TEST(PageApiScript, FillsTheCallLimitAndLeavesOtherTextAsItIs) {
    const std::string bytes = std::to_string(ScriptDispatcher::kMaxCallBytes);
    EXPECT_EQ(fillPageApiScript("max: @VEXA_MAX_CALL_BYTES@, twice @VEXA_MAX_CALL_BYTES@"),
              "max: " + bytes + ", twice " + bytes);
    // Only a line of its own is a list; "@" elsewhere is the script's.
    const std::string plain = "a @ b\n\n'x@y.example'\n  @not a placeholder@";
    EXPECT_EQ(fillPageApiScript(plain), plain);
    EXPECT_EQ(fillPageApiScript(""), "");
}

TEST(PageApiScript, RefusesAPlaceholderItDoesNotKnow) {
    for (const char* script : {"@VEXA_METHODS@\n", "x = '@VEXA_HOST_NAME@';", "  @VEXA_METHOD_NAMES@ x\n"}) {
        EXPECT_THROW(fillPageApiScript(script), std::runtime_error) << script;
    }
}

TEST(PageApiReference, WritesEachMethodAndEventWithItsParameters) {
    const auto rows = linesOf(methodTableRows());
    ASSERT_EQ(rows.size(), scriptMethods().size());
    EXPECT_EQ(rows[0],
              "| 1 | EncodeRequest | clientId: string, transactionId: string, functionId: number, "
              "processId: number, tlvString: string | string |");
    EXPECT_EQ(rows[7], "| 8 | GetReaderList | none | string |");
    EXPECT_EQ(rows[28], "| 29 | Open | identifier: string | number |");

    const auto methods = linesOf(methodDeclarations());
    ASSERT_EQ(methods.size(), scriptMethods().size() + 2);
    EXPECT_EQ(methods.front(), "export interface VexaMethods {");
    EXPECT_EQ(methods[8], "  GetReaderList(): Promise<string>;");
    EXPECT_EQ(methods[10], "  ConnectCard(readerName: string, shareMode: number): Promise<number>;");
    EXPECT_EQ(methods.back(), "}");

    const auto events = linesOf(eventDeclarations());
    ASSERT_EQ(events.size(), 9u);
    EXPECT_EQ(events.front(), "export interface VexaEventArguments {");
    EXPECT_EQ(events[1],
              "  OnCardReady: [readerName: string, atr: string, protocol: number, eventIdentifier: string];");
    EXPECT_EQ(events[6], "  OnCardInuse: [readerName: string, shareMode: number, eventIdentifier: string];");
    EXPECT_EQ(events.back(), "}");
}

} // namespace
} // namespace vexa
