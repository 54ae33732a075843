#include "platform/registry.h"

#include <windows.h>

#include <memory>
#include <type_traits>

#include "platform/windows/wide_text.h"

namespace vexa::platform {

const bool kSystemRegistry = true;

namespace {

struct KeyClose {
    void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyClose>;

HKEY rootKey(RegistryRoot root) {
    return root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

// The programs are 64-bit, but a 32-bit build must see the same keys.
Key openKey(RegistryRoot root, std::string_view key, REGSAM rights, LSTATUS& status) {
    HKEY handle = nullptr;
    status = ::RegOpenKeyExW(rootKey(root), wideText(key).c_str(), 0, rights | KEY_WOW64_64KEY, &handle);
    return Key(status == ERROR_SUCCESS ? handle : nullptr);
}

std::wstring expanded(const std::wstring& text) {
    std::wstring result(text.size() + 1, L'\0');
    for (;;) {
        const DWORD length =
            ::ExpandEnvironmentStringsW(text.c_str(), result.data(), static_cast<DWORD>(result.size()));
        if (length == 0) return text;
        if (length <= result.size()) {
            result.resize(length - 1); // without the terminator
            return result;
        }
        result.resize(length);
    }
}

// The value's text; nullopt when it is missing or holds no text.
std::optional<std::wstring> queryText(HKEY key, const std::wstring& value) {
    std::wstring text(64, L'\0');
    for (;;) {
        DWORD type = 0;
        auto size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        const LSTATUS status =
            ::RegQueryValueExW(key, value.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
        if (status == ERROR_MORE_DATA) {
            text.resize(size / sizeof(wchar_t) + 1);
            continue;
        }
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::nullopt;
        // Stored texts need not end with a terminator, or may end with several.
        text.resize(size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0') text.pop_back();
        return type == REG_EXPAND_SZ ? expanded(text) : text;
    }
}

} // namespace

std::optional<std::optional<std::string>> readRegistryText(RegistryRoot root, std::string_view key,
                                                           std::string_view value) {
    LSTATUS status = ERROR_SUCCESS;
    const Key opened = openKey(root, key, KEY_QUERY_VALUE, status);
    if (!opened) return std::nullopt;
    const std::optional<std::wstring> text = queryText(opened.get(), wideText(value));
    if (!text) return std::optional<std::string>();
    return std::optional<std::string>(narrowText(*text));
}

bool writeRegistryText(RegistryRoot root, std::string_view key, std::string_view value, std::string_view text) {
    HKEY handle = nullptr;
    if (::RegCreateKeyExW(rootKey(root), wideText(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &handle, nullptr) != ERROR_SUCCESS)
        return false;
    const Key created(handle);
    const std::wstring wide = wideText(text);
    const auto size = static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(created.get(), wideText(value).c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(wide.c_str()), size) == ERROR_SUCCESS;
}

bool deleteRegistryKey(RegistryRoot root, std::string_view key) {
    // RegDeleteTreeW knows no registry view: the subtree goes through a
    // handle opened in the right one, the key itself by RegDeleteKeyExW.
    // An empty name would name the whole root.
    if (key.empty()) return false;
    LSTATUS status = ERROR_SUCCESS;
    const Key opened = openKey(root, key, DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE, status);
    if (!opened) return status == ERROR_FILE_NOT_FOUND;
    if (::RegDeleteTreeW(opened.get(), nullptr) != ERROR_SUCCESS) return false;
    status = ::RegDeleteKeyExW(rootKey(root), wideText(key).c_str(), KEY_WOW64_64KEY, 0);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

} // namespace vexa::platform
