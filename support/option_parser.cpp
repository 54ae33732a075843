#include "support/option_parser.h"

#include <algorithm>
#include <charconv>
#include <iostream>

namespace vexa {
namespace {

const OptionSpec kHelp{"--help", "", "show this help and exit"};
const OptionSpec kVersion{"--version", "", "show the version and exit"};

const OptionSpec* findSpec(std::span<const OptionSpec> specs, std::string_view name) {
    for (const OptionSpec& spec : specs)
        if (spec.name == name) return &spec;
    for (const OptionSpec* common : {&kHelp, &kVersion})
        if (common->name == name) return common;
    return nullptr;
}

std::optional<long long> wholeNumber(std::string_view text) {
    long long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// "yes|no|ask" as "yes, no or ask".
std::string choiceList(std::string_view choices) {
    std::string text;
    for (std::size_t start = 0; start <= choices.size();) {
        std::size_t bar = choices.find('|', start);
        if (bar == std::string_view::npos) bar = choices.size();
        if (!text.empty()) text += bar == choices.size() ? " or " : ", ";
        text += choices.substr(start, bar - start);
        start = bar + 1;
    }
    return text;
}

bool isChoice(std::string_view choices, std::string_view value) {
    for (std::size_t start = 0; start <= choices.size();) {
        std::size_t bar = choices.find('|', start);
        if (bar == std::string_view::npos) bar = choices.size();
        if (choices.substr(start, bar - start) == value) return true;
        start = bar + 1;
    }
    return false;
}

void checkValue(const OptionSpec& spec, std::string_view value) {
    if (spec.range) {
        const auto number = wholeNumber(value);
        if (!number || *number < spec.range->min || *number > spec.range->max) {
            throw OptionError(std::string(spec.name), (value.empty() ? std::string("''") : std::string(value)) +
                                                          " is not " + std::string(spec.range->what) + " (" +
                                                          std::to_string(spec.range->min) + "-" +
                                                          std::to_string(spec.range->max) + ")");
        }
    }
    if (!spec.choices.empty() && !isChoice(spec.choices, value))
        throw OptionError(std::string(spec.name),
                          "takes " + choiceList(spec.choices) + ", not '" + std::string(value) + "'");
}

std::string optionColumn(const OptionSpec& spec) {
    std::string text(spec.name);
    if (!spec.valueName.empty()) text += " " + std::string(spec.valueName);
    return text;
}

void printLines(std::ostream& out, std::string_view text, std::string_view firstPrefix, std::string_view prefix) {
    std::size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        out << (first ? firstPrefix : prefix) << text.substr(start, end - start) << '\n';
        first = false;
        start = end + 1;
    }
}

} // namespace

OptionError::OptionError(std::string option, std::string reason)
    : std::runtime_error(option + ": " + reason), option_(std::move(option)), reason_(std::move(reason)) {}

bool ParsedOptions::has(std::string_view name) const {
    return std::any_of(items_.begin(), items_.end(), [&](const Item& item) { return item.name == name; });
}

std::string_view ParsedOptions::value(std::string_view name, std::string_view fallback) const {
    for (auto item = items_.rbegin(); item != items_.rend(); ++item)
        if (item->name == name) return item->value;
    return fallback;
}

std::vector<std::string_view> ParsedOptions::values(std::string_view name) const {
    std::vector<std::string_view> found;
    for (const Item& item : items_)
        if (item.name == name) found.push_back(item.value);
    return found;
}

long long ParsedOptions::number(std::string_view name, long long fallback) const {
    if (!has(name)) return fallback;
    return wholeNumber(value(name)).value_or(fallback);
}

std::vector<std::string_view> ParsedOptions::operands() const {
    return values("");
}

ParsedOptions parseOptions(std::span<const OptionSpec> specs, std::span<const std::string_view> args,
                           std::size_t maxOperands) {
    ParsedOptions parsed;
    std::size_t operands = 0;
    const auto addOperand = [&](std::string_view arg) {
        if (++operands > maxOperands) {
            throw OptionError(std::string(arg), maxOperands == 0 ? "unexpected argument" : "one argument too many");
        }
        parsed.add("", std::string(arg));
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (arg == "--") {
            for (++i; i < args.size(); ++i) addOperand(args[i]);
            break;
        }
        // A lone "-" is an operand by convention (standard input).
        if (!arg.starts_with("-") || arg == "-") {
            addOperand(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        const OptionSpec* spec = arg.starts_with("--") ? findSpec(specs, name) : nullptr;
        if (spec == nullptr) throw OptionError(std::string(name), "unknown option");
        if (spec->valueName.empty()) {
            if (equals != std::string_view::npos) throw OptionError(std::string(name), "takes no value");
            parsed.add(std::string(name), "");
            continue;
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            throw OptionError(std::string(name), "needs a value");
        }
        checkValue(*spec, value);
        parsed.add(std::string(name), std::string(value));
    }
    return parsed;
}

OptionParser::OptionParser(ProgramText program, std::span<const OptionSpec> specs)
    : program_(program), specs_(specs), out_(&std::cout), err_(&std::cerr) {}

void OptionParser::setStreams(std::ostream& out, std::ostream& err) {
    out_ = &out;
    err_ = &err;
}

std::optional<ParsedOptions> OptionParser::parse(std::span<char* const> args) {
    const std::vector<std::string_view> views(args.begin(), args.end());
    return parse(std::span<const std::string_view>(views));
}

std::optional<ParsedOptions> OptionParser::parse(std::span<const std::string_view> args) {
    try {
        ParsedOptions parsed = parseOptions(specs_, args, program_.maxOperands);
        if (parsed.has(kHelp.name)) {
            printHelp(*out_);
            exitStatus_ = 0;
            return std::nullopt;
        }
        if (parsed.has(kVersion.name)) {
            // Commands share their program's version line: "vexa 2.0.0.2".
            *out_ << program_.name.substr(0, program_.name.find(' ')) << ' ' << program_.version << '\n';
            exitStatus_ = 0;
            return std::nullopt;
        }
        return parsed;
    } catch (const OptionError& e) {
        // --help wins over a mistake elsewhere on the line, as users expect.
        if (std::find(args.begin(), args.end(), kHelp.name) != args.end()) {
            printHelp(*out_);
            exitStatus_ = 0;
            return std::nullopt;
        }
        refuse(e.option(), e.reason());
        return std::nullopt;
    }
}

std::optional<std::vector<std::string>> OptionParser::parseCommand(std::span<char* const> args,
                                                                   std::span<const CommandSpec> commands) {
    const std::vector<std::string_view> views(args.begin(), args.end());
    return parseCommand(std::span<const std::string_view>(views), commands);
}

std::optional<std::vector<std::string>> OptionParser::parseCommand(std::span<const std::string_view> args,
                                                                   std::span<const CommandSpec> commands) {
    const auto parsed = parse(args);
    if (!parsed) return std::nullopt;
    const std::vector<std::string_view> operands = parsed->operands();
    std::string names; // "list, remove or clear"
    for (std::size_t i = 0; i < commands.size(); ++i)
        names += (i == 0 ? "" : i + 1 == commands.size() ? " or " : ", ") + std::string(commands[i].name);
    if (operands.empty()) {
        refuse("COMMAND", "missing: " + names);
        return std::nullopt;
    }
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const CommandSpec& c) { return c.name == operands[0]; });
    if (command == commands.end()) {
        refuse(operands[0], "unknown command (" + names + ")");
        return std::nullopt;
    }
    const std::size_t count = operands.size() - 1;
    if (count < command->minOperands) {
        refuse(command->name, command->tooFew);
        return std::nullopt;
    }
    if (count > command->maxOperands) {
        refuse(operands[command->maxOperands + 1], "unexpected argument");
        return std::nullopt;
    }
    return std::vector<std::string>(operands.begin(), operands.end());
}

int OptionParser::refuse(std::string_view option, std::string_view reason) {
    *err_ << program_.name << ": " << option << ": " << reason << '\n' << "Try '" << program_.name << " --help'.\n";
    exitStatus_ = 2;
    return exitStatus_;
}

void OptionParser::printHelp(std::ostream& out) const {
    printLines(out, program_.synopsis, "usage: ", "       ");
    std::size_t width = 0;
    for (const OptionSpec& spec : specs_) width = std::max(width, optionColumn(spec).size());
    width = std::clamp<std::size_t>(width, kVersion.name.size(), 26) + 2;
    out << "\nOptions:\n";
    const auto row = [&](const OptionSpec& spec) {
        std::string column = optionColumn(spec);
        // A long option name gets its help on the next line.
        if (column.size() + 2 > width) {
            out << "  " << column << '\n';
            column.clear();
        }
        column.resize(width, ' ');
        printLines(out, spec.help, "  " + column, std::string(width + 2, ' '));
    };
    for (const OptionSpec& spec : specs_) row(spec);
    row(kHelp);
    row(kVersion);
    if (!program_.description.empty()) {
        out << '\n';
        printLines(out, program_.description, "", "");
    }
}

} // namespace vexa
