#include "platform/command_line.h"

#include <windows.h>
// After <windows.h>, which it needs.
#include <shellapi.h>

#include <memory>

#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

struct LocalFreer {
    void operator()(LPWSTR* block) const { ::LocalFree(block); }
};

} // namespace

std::vector<std::string> programArguments(int argc, char** argv) {
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreer> wide(::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!wide) return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
    std::vector<std::string> arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(narrowText(wide.get()[i]));
    return arguments;
}

} // namespace vexa::platform
