#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cardaccess/ctapi_reader.h"
#include "support/ini_file.h"

namespace vexa {

// Where HBCIKRNL.INI lives: in the directory named by windir when that is a
// folder that passes the trust rule (file_trust.h), else /etc (\WINDOWS on
// Windows).
std::string ctapiIniPath();

// A terminal that HBCIKRNL.INI declares, before its driver is tried.
struct CtapiTerminal {
    CtapiSettings settings;
    std::string failure; // why it cannot be used; empty when it may be tried
};

// The terminals that [CardReader] entries with the value Active declare, in
// the order of their sections in the file; 992301 when there is none.
std::int32_t declaredTerminals(const IniFile& ini, std::vector<CtapiTerminal>& terminals);

// The usable terminals of HBCIKRNL.INI: each one's driver loaded and its
// terminal opened and closed once. A terminal that fails is left out, its
// reason added to failures ("<name>: <text>"); a file that fails the trust
// rule is not read, as if it were missing, and failures says why. 0 when at
// least one is usable, else 992301.
std::int32_t listCtapiReaders(std::vector<CtapiReader>& readers, std::vector<std::string>& failures);

} // namespace vexa
