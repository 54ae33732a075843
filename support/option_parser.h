#pragma once

#include <iosfwd>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vexa {

// A whole number an option takes, checked against its range; `what` names it
// in a refusal ("99999 is not a port number (1-65535)").
struct NumberRange {
    long long min;
    long long max;
    std::string_view what = "an allowed number";
};

// One long option a program accepts, as a row of its option table.
struct OptionSpec {
    std::string_view name;      // with the dashes: "--port"
    std::string_view valueName; // shown in the help ("PORT"); empty for a flag
    std::string_view help;      // one line; further lines start with '\n'
    std::optional<NumberRange> range = std::nullopt;
    std::string_view choices = {}; // the allowed values, separated by '|'
};

// A refusal of the command line: "<option>: <reason>".
class OptionError : public std::runtime_error {
public:
    OptionError(std::string option, std::string reason);
    const std::string& option() const { return option_; }
    const std::string& reason() const { return reason_; }

private:
    std::string option_;
    std::string reason_;
};

// The options and operands given, in the order given. Values have passed
// their table's checks, so number() cannot fail for an option with a range.
class ParsedOptions {
public:
    struct Item {
        std::string name; // the option ("--port"); empty for an operand
        std::string value;
    };

    bool has(std::string_view name) const;
    // The last value given for name, or fallback.
    std::string_view value(std::string_view name, std::string_view fallback = {}) const;
    // Every value given for a repeated option, in order.
    std::vector<std::string_view> values(std::string_view name) const;
    // The last value of an option with a range, or fallback.
    long long number(std::string_view name, long long fallback) const;
    std::vector<std::string_view> operands() const;
    // Everything, in order: for options whose meaning depends on their place.
    const std::vector<Item>& items() const { return items_; }

    void add(std::string name, std::string value) { items_.push_back({std::move(name), std::move(value)}); }

private:
    std::vector<Item> items_;
};

// Parses args (those after the program or command name) against the table:
// `--opt value`, `--opt=value`, flags, operands, and `--` ending the options.
// Throws OptionError for an unknown option, a missing or unwanted value, a
// value outside its range or choices, or more than maxOperands operands.
ParsedOptions parseOptions(std::span<const OptionSpec> specs, std::span<const std::string_view> args,
                           std::size_t maxOperands = 0);

// How a program (or one command of it) describes itself.
struct ProgramText {
    std::string_view name;             // in messages: "vexa-rpcscd", "vexa shell"
    std::string_view version;          // the VEXA version, for --version
    std::string_view synopsis;         // usage lines after the name, '\n' between
    std::string_view description = {}; // shown after the options; may be empty
    std::size_t maxOperands = 0;
};

// One command of a program that takes commands ("vexa sites remove URL"):
// how many operands may follow its name, and the refusal when too few do.
struct CommandSpec {
    std::string_view name;
    std::size_t minOperands = 0;
    std::size_t maxOperands = 0;
    std::string_view tooFew = {};
};

// The command line conventions every VEXA program shares: --help (usage on
// stdout, exit 0), --version ("<program> <version>", exit 0), and a refusal
// as "<program>: <option>: <reason>" with a hint on stderr, exit 2.
class OptionParser {
public:
    OptionParser(ProgramText program, std::span<const OptionSpec> specs);

    // The parsed options, or nullopt when the program must end now with
    // exitStatus() (after --help, --version or a refusal, already printed).
    std::optional<ParsedOptions> parse(std::span<char* const> args);
    std::optional<ParsedOptions> parse(std::span<const std::string_view> args);
    int exitStatus() const { return exitStatus_; }
    // For a program of commands: the command's name followed by its
    // operands, or nullopt as parse() gives it, or after refusing a missing
    // or unknown command and too few or too many operands.
    std::optional<std::vector<std::string>> parseCommand(std::span<char* const> args,
                                                         std::span<const CommandSpec> commands);
    std::optional<std::vector<std::string>> parseCommand(std::span<const std::string_view> args,
                                                         std::span<const CommandSpec> commands);

    // For checks only the program can make: prints the refusal, returns 2.
    int refuse(std::string_view option, std::string_view reason);
    void printHelp(std::ostream& out) const;

    // Where the texts go; std::cout and std::cerr unless a test says.
    void setStreams(std::ostream& out, std::ostream& err);

private:
    ProgramText program_;
    std::span<const OptionSpec> specs_;
    std::ostream* out_;
    std::ostream* err_;
    int exitStatus_ = 0;
};

} // namespace vexa
