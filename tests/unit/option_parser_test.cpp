#include "support/option_parser.h"

#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <vector>

using namespace vexa;

namespace {

constexpr std::array<OptionSpec, 5> kSpecs{{
    {"--port", "PORT", "the port", NumberRange{1, 65535, "a port number"}},
    {"--allow", "BLOCKS", "peers allowed"},
    {"--verbose", "", "more log lines"},
    {"--answer", "WORD", "the answer", std::nullopt, "yes|no|ask"},
    {"--url", "URL", "the page"},
}};

// Each row: the arguments, and either what they parse to (name=value, or
// the bare operand) or the refusal.
struct Row {
    std::vector<std::string_view> args;
    std::vector<std::string> parsed;
    std::string refusal;
};

std::vector<std::string> flatten(const ParsedOptions& options) {
    std::vector<std::string> items;
    for (const auto& item : options.items())
        items.push_back(item.name.empty() ? item.value : item.name + (item.value.empty() ? "" : "=" + item.value));
    return items;
}

} // namespace

TEST(OptionParserTest, ParsesOrRefusesWithOptionAndReason) {
    const std::vector<Row> rows{
        {{}, {}, ""},
        {{"--port", "443"}, {"--port=443"}, ""},
        {{"--port=443"}, {"--port=443"}, ""},
        {{"--port", "99999"}, {}, "--port: 99999 is not a port number (1-65535)"},
        {{"--port=0"}, {}, "--port: 0 is not a port number (1-65535)"},
        {{"--port=12ab"}, {}, "--port: 12ab is not a port number (1-65535)"},
        {{"--port="}, {}, "--port: '' is not a port number (1-65535)"},
        {{"--port"}, {}, "--port: needs a value"},
        {{"--frob"}, {}, "--frob: unknown option"},
        {{"--frob=1"}, {}, "--frob: unknown option"},
        {{"-x"}, {}, "-x: unknown option"},
        {{"--verbose=yes"}, {}, "--verbose: takes no value"},
        {{"--answer", "maybe"}, {}, "--answer: takes yes, no or ask, not 'maybe'"},
        {{"--answer=ask"}, {"--answer=ask"}, ""},
        // Repeated options keep every value, in order.
        {{"--allow", "10.0.0.0/8", "--verbose", "--allow=::1"}, {"--allow=10.0.0.0/8", "--verbose", "--allow=::1"}, ""},
        // A value may look like an option or hold '='.
        {{"--url", "--verbose"}, {"--url=--verbose"}, ""},
        {{"--url=https://a.example/?x=1"}, {"--url=https://a.example/?x=1"}, ""},
        {{"--url=", "--answer", "no"}, {"--url", "--answer=no"}, ""},
        // Operands only where the program takes them.
        {{"extra"}, {}, "extra: unexpected argument"},
        {{"--", "--verbose"}, {}, "--verbose: unexpected argument"},
        {{"--help"}, {"--help"}, ""},
        {{"--version"}, {"--version"}, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        try {
            const ParsedOptions parsed = parseOptions(kSpecs, row.args);
            EXPECT_EQ(flatten(parsed), row.parsed);
            EXPECT_EQ(row.refusal, "");
        } catch (const OptionError& e) {
            EXPECT_EQ(e.what(), row.refusal);
        }
    }
}

TEST(OptionParserTest, OperandsUpToTheLimitAndAfterDoubleDash) {
    const std::vector<std::string_view> args{"a", "--verbose", "--", "--port", "-"};
    const ParsedOptions parsed = parseOptions(kSpecs, args, 3);
    EXPECT_EQ(parsed.operands(), (std::vector<std::string_view>{"a", "--port", "-"}));
    EXPECT_TRUE(parsed.has("--verbose"));
    EXPECT_FALSE(parsed.has("--port"));
    EXPECT_THROW(parseOptions(kSpecs, args, 2), OptionError);
}

TEST(OptionParserTest, ValuesAndNumbers) {
    const std::vector<std::string_view> args{"--port", "80", "--url", "a", "--url=b", "--allow", "x", "--allow", "y"};
    const ParsedOptions parsed = parseOptions(kSpecs, args);
    EXPECT_EQ(parsed.number("--port", 1), 80);
    EXPECT_EQ(parsed.value("--url"), "b"); // the last one wins
    EXPECT_EQ(parsed.values("--allow"), (std::vector<std::string_view>{"x", "y"}));
    EXPECT_EQ(parsed.value("--answer", "no"), "no");
    EXPECT_EQ(parseOptions(kSpecs, {}).number("--port", 35965), 35965);
}

TEST(OptionParserTest, HelpVersionAndRefusalGoWhereTheyBelong) {
    const ProgramText program{"vexa shell", "1.2.3", "vexa shell [--url URL]", "Reads script calls."};
    struct Case {
        std::vector<std::string_view> args;
        int status;
        std::string out; // a part of stdout
        std::string err; // all of stderr
    };
    const std::vector<Case> cases{
        {{"--help"}, 0, "usage: vexa shell [--url URL]\n\nOptions:\n  --port PORT", ""},
        {{"--frob", "--help"}, 0, "  --help          show this help and exit\n", ""},
        {{"--version"}, 0, "vexa 1.2.3\n", ""},
        {{"--frob"}, 2, "", "vexa shell: --frob: unknown option\nTry 'vexa shell --help'.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        std::ostringstream out, err;
        OptionParser parser(program, kSpecs);
        parser.setStreams(out, err);
        EXPECT_FALSE(parser.parse(c.args));
        EXPECT_EQ(parser.exitStatus(), c.status);
        EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
        if (c.out.empty()) {
            EXPECT_EQ(out.str(), "");
        }
        EXPECT_EQ(err.str(), c.err);
    }
    std::ostringstream out, err;
    OptionParser parser(program, kSpecs);
    parser.setStreams(out, err);
    const std::vector<std::string_view> fine{"--verbose"};
    EXPECT_TRUE(parser.parse(fine));
    EXPECT_EQ(parser.refuse("--allow", "no such address"), 2);
    EXPECT_EQ(err.str(), "vexa shell: --allow: no such address\nTry 'vexa shell --help'.\n");
}

// A program of commands: each refusal names what is wrong, and a command
// comes back with its operands.
TEST(OptionParserTest, CommandsWithTheirOperands) {
    const ProgramText program{"vexa sites", "1.2.3", "vexa sites list|remove URL|clear", "", 3};
    static constexpr CommandSpec kCommands[] = {{"list"}, {"remove", 1, 1, "needs the site"}, {"clear", 0, 2}};
    const std::vector<Row> rows{
        {{"list"}, {"list"}, ""},
        {{"remove", "https://a.example/"}, {"remove", "https://a.example/"}, ""},
        {{"clear", "x", "y"}, {"clear", "x", "y"}, ""},
        {{}, {}, "COMMAND: missing: list, remove or clear"},
        {{"purge"}, {}, "purge: unknown command (list, remove or clear)"},
        {{"remove"}, {}, "remove: needs the site"},
        {{"remove", "a", "b"}, {}, "b: unexpected argument"},
        {{"list", "x"}, {}, "x: unexpected argument"},
        {{"--frob", "list"}, {}, "--frob: unknown option"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        std::ostringstream out, err;
        OptionParser parser(program, {});
        parser.setStreams(out, err);
        const auto command = parser.parseCommand(row.args, kCommands);
        if (row.refusal.empty()) {
            ASSERT_TRUE(command);
            EXPECT_EQ(*command, row.parsed);
        } else {
            EXPECT_FALSE(command);
            EXPECT_EQ(parser.exitStatus(), 2);
            EXPECT_EQ(err.str(), "vexa sites: " + row.refusal + "\nTry 'vexa sites --help'.\n");
        }
    }
}
