#include "cardaccess/system_error_text.h"

#include "pcsc/pcsc_error_text.h"
#include "rpcsc/winsock_error.h"
#include "support/text.h"

namespace vexa {

std::string systemErrorText(std::int32_t code) {
    std::string text = pcsc::errorText(code);
    if (text.empty()) text = winsockErrorText(code);
    if (text.size() > 2 && text.ends_with("\r\n")) text.resize(text.size() - 2);
    return text;
}

std::string returnCodeSuffix(std::int32_t code) {
    if (code == 0) return {};
    return " (return code " + signedDecimal(code) + ": " + systemErrorText(code) + ")";
}

} // namespace vexa
