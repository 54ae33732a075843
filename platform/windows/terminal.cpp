#include "platform/terminal.h"

#include <windows.h>

#include "platform/windows/wide_text.h"

namespace vexa::platform {
namespace {

// A console device of its own, whatever standard input and output are.
class ConsoleHandle {
public:
    explicit ConsoleHandle(const wchar_t* name)
        : handle_(::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr)) {}
    ConsoleHandle(const ConsoleHandle&) = delete;
    ConsoleHandle& operator=(const ConsoleHandle&) = delete;
    ~ConsoleHandle() {
        if (valid()) ::CloseHandle(handle_);
    }
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

bool show(HANDLE output, std::string_view text) {
    const std::wstring wide = wideText(text);
    DWORD written = 0;
    return ::WriteConsoleW(output, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) &&
           written == wide.size();
}

// One line as typed, without its CR LF; nullopt when the console ends first.
std::optional<std::string> readLine(HANDLE input) {
    std::wstring line;
    for (;;) {
        wchar_t c = 0;
        DWORD got = 0;
        if (!::ReadConsoleW(input, &c, 1, &got, nullptr) || got == 0) return std::nullopt;
        if (c == L'\n') break;
        line += c;
    }
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    return narrowText(line);
}

} // namespace

std::optional<std::string> askOnTerminal(std::string_view prompt) {
    const ConsoleHandle output(L"CONOUT$");
    const ConsoleHandle input(L"CONIN$");
    if (!output.valid() || !input.valid() || !show(output.get(), prompt)) return std::nullopt;
    return readLine(input.get());
}

} // namespace vexa::platform
