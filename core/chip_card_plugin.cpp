#include "core/chip_card_plugin.h"

#include "core/error_model.h"
#include "support/byte_buffer.h"
#include "support/text.h"
#include "support/version.h"

namespace vexa {

namespace {

// The question of a plug-in without a user to ask.
class AlwaysCancel : public UserQuestion {
public:
    bool ask(std::string_view, std::string_view) override { return false; }
};

UserQuestion& noUser() {
    static AlwaysCancel question;
    return question;
}

} // namespace

ChipCardPlugin::ChipCardPlugin() : ChipCardPlugin(PageIdentity{}, noUser()) {}

ChipCardPlugin::ChipCardPlugin(PageIdentity page, UserQuestion& question)
    : log_(LOG_DEBUG, TovLog::Stdout, false), page_(std::move(page)), question_(question) {
    log_.capRecords(kUnadmittedLogBytes);
}

ChipCardPlugin::~ChipCardPlugin() {
    shutdown();
}

std::int32_t ChipCardPlugin::shutdown() {
    resetEvents();
    const std::int32_t cardResult = card.close(log_);
    pageIdentifier.clear();
    remoteServer = {};
    card.setRemoteServers(remoteServer);
    allowedSites.clear();
    preferredReader.clear();
    clientName.clear();
    sitesConf.clear();
    initialised = 0;
    log_.capRecords(kUnadmittedLogBytes);
    siteChecked = 0;
    lastError = 0;
    interfaceType = 0;
    return cardResult;
}

std::int32_t ChipCardPlugin::resetPlugin() {
    std::int32_t result = shutdown();
    lastError = result;
    log_.close();
    conf_.clear();
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
    log_.write(LOG_TRACE, "GetLastErrorCode returns " + errorCodeText(lastError));
    return lastError;
}

std::string ChipCardPlugin::GetErrorText(std::int32_t errorCode) {
    std::string text = convertGermanCharacters(lookupErrorText(errorCode), 1);
    log_.write(LOG_TRACE, "GetErrorText returns for " + errorCodeText(errorCode) + ": " + text);
    return text;
}

std::string ChipCardPlugin::ReadLogFile(std::int32_t maxNumberOfBytes) {
    return guarded(std::string(), [&] {
        std::string text;
        if (log_.readTail(maxNumberOfBytes, text) != 0) {
            log_.write(LOG_ERROR, "ReadLogFile () unsuccessful for log file '" + log_.logFileName() + "'");
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
