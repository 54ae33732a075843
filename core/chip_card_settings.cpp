// Start-up load and the run-time settings of the plug-in.
#include <array>

#include "core/chip_card_plugin.h"
#include "core/setting_tables.h"
#include "platform/system.h"
#include "readers/reader_interfaces.h"
#include "support/registry.h"
#include "support/text.h"

namespace vexa {

std::atomic<std::int32_t> processTestcase{0};

namespace {

constexpr std::string_view kRegistryKey = "Software\\MERIDAN\\VEXA";

// Log lines and requests carry the client text; keep it to printable ASCII.
std::string printableClient(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '.';
    return out;
}

std::array<ConfParameter, 8> mainRows(std::int32_t defaultLevel, std::string_view logFile) {
    return {{
        {std::string(kLogLevelKey), ConfParameter::Named, "", defaultLevel, &kLevelTable},
        {std::string(kLogFileKey), ConfParameter::Text, std::string(logFile), 0, nullptr},
        {std::string(kInterfaceKey), ConfParameter::Named, "", INTERFACE_PCSC, &kInterfaceTable},
        {std::string(kRemoteServersKey), ConfParameter::Text, "", 0, nullptr},
        {std::string(kRemoteTlsServersKey), ConfParameter::Text, "", 0, nullptr},
        {std::string(kRemoteTlsCaKey), ConfParameter::Text, std::string(kRemoteTlsCaDefault), 0, nullptr},
        {std::string(kRemoteTlsCertificateKey), ConfParameter::Text, std::string(kRemoteTlsCertificateDefault), 0,
         nullptr},
        {std::string(kRemoteTlsKeyKey), ConfParameter::Text, std::string(kRemoteTlsKeyDefault), 0, nullptr},
    }};
}

std::optional<std::string> registeredProtocolDirectory(std::string* refusal = nullptr) {
    return readUserOrMachineString(kRegistryKey, "ProtocolDir", refusal);
}

// Where the configuration file and the log are: the protocol directory, else
// the company directory of the config home. Never the current directory,
// which for a browser's host is arbitrary and differs between the host, the
// shell and the tools.
std::string settingsLocation(const std::optional<std::string>& protocolDirectory) {
    return protocolDirectory.value_or("HOMEDIR");
}

std::string configurationPath(const StartupInputs& inputs, const std::string& location) {
    TovFile file;
    file.set(inputs.companyDirectory, location, inputs.configurationFile);
    return file.resolvedPath();
}

// The main configuration file and its settings: conf loaded with the
// declared keys, then what it holds or their defaults.
struct MainSettings {
    std::string configuration;
    int loadResult = 0;
    int line = 0;
    std::int32_t logLevel = LOG_OFF;
    std::string logFile;
    std::int32_t interfaceType = INTERFACE_PCSC;
    RemoteServerSettings remote;
};

// A TLS file setting's path: a relative name is in the TLS folder beside the
// configuration file.
std::string tlsFilePath(const TovConf& conf, std::string_view key, const std::string& configuration) {
    std::string name;
    conf.getText(key, name);
    std::string folder = TovFile::pathIn(TovFile::folderOf(configuration), kRemoteTlsFolder);
    return TovFile::pathIn(folder, name);
}

MainSettings loadMainSettings(TovConf& conf, const StartupInputs& inputs,
                              const std::optional<std::string>& protocolDirectory) {
    MainSettings settings;
    settings.configuration = configurationPath(inputs, settingsLocation(protocolDirectory));
    const auto rows = mainRows(protocolDirectory ? LOG_DEBUG : LOG_OFF, inputs.logFile);
    settings.loadResult = conf.load("", "", settings.configuration, rows, settings.line);
    conf.getNamedValue(kLogLevelKey, settings.logLevel);
    conf.getText(kLogFileKey, settings.logFile);
    conf.getNamedValue(kInterfaceKey, settings.interfaceType);
    conf.getText(kRemoteServersKey, settings.remote.servers);
    conf.getText(kRemoteTlsServersKey, settings.remote.tlsServers);
    settings.remote.files = {tlsFilePath(conf, kRemoteTlsCaKey, settings.configuration),
                             tlsFilePath(conf, kRemoteTlsCertificateKey, settings.configuration),
                             tlsFilePath(conf, kRemoteTlsKeyKey, settings.configuration)};
    return settings;
}

} // namespace

PluginSetup readPluginSetup(const StartupInputs& inputs) {
    PluginSetup setup;
    setup.protocolDirectory = registeredProtocolDirectory();
    TovConf conf;
    const MainSettings settings = loadMainSettings(conf, inputs, setup.protocolDirectory);
    setup.configuration = settings.configuration;
    setup.logLevel = settings.logLevel;
    setup.interfaceType = settings.interfaceType;
    setup.remote = settings.remote;
    TovLog log;
    log.setLogFile(inputs.companyDirectory, settingsLocation(setup.protocolDirectory), settings.logFile);
    setup.hostLog = log.logFileName();
    return setup;
}

void ChipCardPlugin::loadConfiguration(const StartupInputs& inputs) {
    if (conf_.isLoaded()) return;
    clientName = printableClient(inputs.clientText);

    std::string registryRefusal;
    const std::optional<std::string> protocolDir = registeredProtocolDirectory(&registryRefusal);

    loadAllowedSites(inputs.companyDirectory);

    const MainSettings settings = loadMainSettings(conf_, inputs, protocolDir);
    log_.setOutputMode(TovLog::File);
    log_.setThreshold(settings.logLevel);
    log_.setLogFile(inputs.companyDirectory, settingsLocation(protocolDir), settings.logFile);
    log_.setTestcase(processTestcase.load());
    log_.open();

    // A missing file is an INFO record, every other failure an ERROR.
    if (!registryRefusal.empty()) log_.write(LOG_ERROR, registryRefusal + ".");
    conf_.report(log_, settings.loadResult, settings.line, true);
    if (!sitesConf.refusal().empty()) sitesConf.report(log_, TovConf::Refused, 0, true);
    if (!sitesDamage.empty()) log_.write(LOG_ERROR, sitesDamage + ".");

    interfaceType = settings.interfaceType;
    remoteServer = RemoteServers::fromSettings(settings.remote, log_);
    card.setRemoteServers(remoteServer);

    log_.write(LOG_INFO, inputs.productText + " on " + std::string(platform::kSystemName) + " using interface type " +
                             kInterfaceTable.nameOf(interfaceType) + " on " + clientName);
}

std::int32_t ChipCardPlugin::SetMode(std::string_view parameter, std::string_view value) {
    std::int32_t result = ERR_INVALID_PARAMETER;
    if (textEqualsNoCase(parameter, "PREFERRED_READER")) {
        preferredReader = value;
        log_.write(LOG_INFO, "Preferred reader set to '" + preferredReader + "'");
        result = 0;
    } else if (textEqualsNoCase(parameter, kLogLevelKey)) {
        result = setLogLevel(value);
    } else if (textEqualsNoCase(parameter, kInterfaceKey)) {
        result = setInterface(value);
    } else if (textEqualsNoCase(parameter, "TESTCASE")) {
        result = setTestcaseNumber(value);
    } else {
        log_.write(LOG_INFO, "Unknown parameter: '" + std::string(parameter) + "'");
    }
    lastError = result;
    return result;
}

std::int32_t ChipCardPlugin::setLogLevel(std::string_view value) {
    for (std::int32_t level = LOG_TRACE; level <= LOG_OFF; ++level) {
        if (textEqualsNoCase(value, kLevelTable.nameOf(level))) {
            conf_.setNamedValue(kLogLevelKey, level);
            log_.setThreshold(level);
            log_.write(LOG_LOG, "Loglevel set to " + std::string(value));
            return 0;
        }
    }
    log_.write(LOG_ERROR, "Invalid value for new loglevel: '" + std::string(value) + "'");
    return ERR_INVALID_VALUE;
}

std::int32_t ChipCardPlugin::setInterface(std::string_view value) {
    // An interface on remote servers needs their addresses, which come only
    // from the configuration file.
    for (const NamedValue& row : kInterfaceTable.pairs()) {
        const std::int32_t type = row.value;
        if (textEqualsNoCase(value, row.name) && choosableAtRunTime(type)) {
            conf_.setNamedValue(kInterfaceKey, type);
            interfaceType = type;
            log_.write(LOG_LOG, "Interface type set to " + std::string(value));
            return 0;
        }
    }
    log_.write(LOG_ERROR, "Invalid value for new interface type: '" + std::string(value) + "'");
    return ERR_INVALID_VALUE;
}

std::int32_t ChipCardPlugin::setTestcaseNumber(std::string_view value) {
    std::int32_t number = 0;
    if (!parseDecimal(value, number)) {
        log_.write(LOG_ERROR, "Value for testcase is not numerical: '" + std::string(value) + "'");
        return ERR_INVALID_VALUE;
    }
    if (number != 0) {
        log_.setTestcase(number);
        processTestcase = number;
        log_.write(LOG_INFO, "TESTCASE set to " + signedDecimal(number));
    }
    return 0;
}

std::string ChipCardPlugin::settingName(std::string_view key, const NameTable& table) const {
    std::int32_t value = 0;
    conf_.getNamedValue(key, value);
    return table.nameOf(value);
}

std::string ChipCardPlugin::GetMode(std::string_view parameter) {
    std::string result;
    if (textEqualsNoCase(parameter, "PREFERRED_READER")) {
        result = preferredReader;
    } else if (textEqualsNoCase(parameter, kLogLevelKey)) {
        result = settingName(kLogLevelKey, kLevelTable);
    } else if (textEqualsNoCase(parameter, kInterfaceKey)) {
        result = settingName(kInterfaceKey, kInterfaceTable);
    } else {
        log_.write(LOG_ERROR, "Unknown parameter: '" + std::string(parameter) + "'");
        lastError = ERR_INVALID_PARAMETER;
        return {};
    }
    lastError = 0;
    return result;
}

} // namespace vexa
