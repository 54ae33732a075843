#include "control/page_api_text.h"

#include <stdexcept>
#include <vector>

#include "control/host_messages.h"
#include "control/script_dispatcher.h"
#include "control/script_method.h"

namespace vexa {
namespace {

// The extension's scripts keep their lines shorter than this.
constexpr std::size_t kLineLimit = 120;

std::string_view kindName(ScriptKind kind) {
    return kind == ScriptKind::String ? "string" : "number";
}

// "name: kind, name: kind"
std::string paramList(const ScriptParams& params) {
    std::string list;
    for (const ScriptParam& param : params.view()) {
        if (!list.empty()) list += ", ";
        list.append(param.name).append(": ").append(kindName(param.kind));
    }
    return list;
}

// 'A', 'B', ... as lines below limit, each starting with indent.
std::string quotedLines(const std::vector<std::string_view>& names, std::string_view indent) {
    std::string text;
    std::string line(indent);
    for (std::string_view name : names) {
        const std::string item = "'" + std::string(name) + "',";
        if (line.size() > indent.size() && line.size() + 1 + item.size() >= kLineLimit) {
            text += line + "\n";
            line = indent;
        }
        if (line.size() > indent.size()) line += ' ';
        line += item;
    }
    return text + line + "\n";
}

std::vector<std::string_view> methodNames() {
    std::vector<std::string_view> names;
    for (const ScriptMethod& method : scriptMethods()) names.push_back(method.name);
    return names;
}

std::vector<std::string_view> eventNames() {
    std::vector<std::string_view> names;
    for (const ScriptEvent& event : scriptEvents()) names.push_back(event.name);
    return names;
}

// The line with its placeholders filled; the line end is the caller's.
std::string fillLine(std::string_view line) {
    const std::size_t indent = line.find_first_not_of(' ');
    const std::string_view rest = indent == std::string_view::npos ? "" : line.substr(indent);
    if (rest == "@VEXA_METHOD_NAMES@" || rest == "@VEXA_EVENT_NAMES@") {
        const auto names = rest == "@VEXA_METHOD_NAMES@" ? methodNames() : eventNames();
        std::string lines = quotedLines(names, line.substr(0, indent));
        lines.pop_back();
        return lines;
    }
    std::string filled(line);
    const std::string_view bytes = "@VEXA_MAX_CALL_BYTES@";
    for (std::size_t at; (at = filled.find(bytes)) != std::string::npos;) {
        filled.replace(at, bytes.size(), std::to_string(ScriptDispatcher::kMaxCallBytes));
    }
    if (filled.find("@VEXA_") != std::string::npos) {
        throw std::runtime_error("unknown placeholder in: " + std::string(line));
    }
    return filled;
}

} // namespace

std::string fillPageApiScript(std::string_view script) {
    std::string filled;
    while (!script.empty()) {
        const std::size_t end = script.find('\n');
        filled += fillLine(script.substr(0, end));
        if (end == std::string_view::npos) break;
        filled += '\n';
        script.remove_prefix(end + 1);
    }
    return filled;
}

std::string methodTableRows() {
    std::string rows;
    std::size_t number = 0;
    for (const ScriptMethod& method : scriptMethods()) {
        const std::string params = method.args.count == 0 ? "none" : paramList(method.args);
        rows += "| " + std::to_string(++number) + " | " + std::string(method.name) + " | " + params + " | " +
                std::string(kindName(method.result)) + " |\n";
    }
    return rows;
}

std::string methodDeclarations() {
    std::string text = "export interface VexaMethods {\n";
    for (const ScriptMethod& method : scriptMethods()) {
        text += "  " + std::string(method.name) + "(" + paramList(method.args) + "): Promise<" +
                std::string(kindName(method.result)) + ">;\n";
    }
    return text + "}\n";
}

std::string eventDeclarations() {
    std::string text = "export interface VexaEventArguments {\n";
    for (const ScriptEvent& event : scriptEvents()) {
        text += "  " + std::string(event.name) + ": [" + paramList(event.args) + "];\n";
    }
    return text + "}\n";
}

} // namespace vexa
