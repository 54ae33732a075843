#include "core/chip_card_plugin.h"

#include "core/error_model.h"
#include "support/version.h"
#include "support/byte_buffer.h"
#include "support/text.h"

namespace vexa {

ChipCardPlugin::ChipCardPlugin() : TovLog(LOG_DEBUG, TovLog::Stdout, false) {
    capRecords(kUnadmittedLogBytes);
}

ChipCardPlugin::~ChipCardPlugin() {
    shutdown();
}

std::int32_t ChipCardPlugin::shutdown() {
    resetEvents();
    const std::int32_t cardResult = card.close(*this);
    pageIdentifier.clear();
    remoteServer.clear();
    card.setRemoteServers(remoteServer);
    allowedSites.clear();
    preferredReader.clear();
    clientName.clear();
    sitesConf.clear();
    initialised = 0;
    capRecords(kUnadmittedLogBytes);
    siteChecked = 0;
    lastError = 0;
    interfaceType = 0;
    return cardResult;
}

std::int32_t ChipCardPlugin::resetPlugin() {
    std::int32_t result = shutdown();
    lastError = result;
    close();
    clear();
    return result;
}

std::string ChipCardPlugin::GetVersion(std::int32_t versionSelector) {
    if (versionSelector < 0 || versionSelector > 4) {
        lastError = ERR_INVALID_PARAMETER;
        return {};
    }
    if (versionSelector == 0) return std::string(kVersion);
    std::string_view rest = kVersion;
    for (std::int32_t i = 1; i < versionSelector; ++i) {
        auto dot = rest.find('.');
        if (dot == std::string_view::npos) {
            lastError = ERR_INVALID_PARAMETER;
            return {};
        }
        rest.remove_prefix(dot + 1);
    }
    return std::string(rest.substr(0, rest.find('.')));
}

std::string ChipCardPlugin::Hex2Str(std::string_view input) {
    ByteBuffer bytes;
    if (!bytes.assignHex(replaceAll(std::string(input), " ", ""), false)) {
        lastError = ERR_INVALID_HEX;
        return {};
    }
    return bytes.toText();
}

std::string ChipCardPlugin::Str2Hex(std::string_view input) {
    ByteBuffer bytes;
    bytes.assignText(input);
    return bytes.toHex(true);
}

std::int32_t ChipCardPlugin::GetLastErrorCode() {
    write(LOG_TRACE, "GetLastErrorCode returns " + errorCodeText(lastError));
    return lastError;
}

std::string ChipCardPlugin::GetErrorText(std::int32_t errorCode) {
    std::string text = convertGermanCharacters(lookupErrorText(errorCode), 1);
    write(LOG_TRACE, "GetErrorText returns for " + errorCodeText(errorCode) + ": " + text);
    return text;
}

std::string ChipCardPlugin::ReadLogFile(std::int32_t maxNumberOfBytes) {
    return guarded(std::string(), [&] {
        std::string text;
        if (readTail(maxNumberOfBytes, text) != 0) {
            write(LOG_ERROR, "ReadLogFile () unsuccessful for log file '" + logFileName() + "'");
            lastError = ERR_LOGFILE_UNREADABLE;
            return std::string();
        }
        lastError = 0;
        // The page shows the text as HTML, and the records hold what pages,
        // cards and servers sent.
        return convertGermanCharacters(escapeHtml(text), 1);
    });
}

} // namespace vexa
