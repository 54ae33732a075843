#include "control/sites_tool.h"

#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "core/chip_card_plugin.h"
#include "core/trusted_sites.h"
#include "core/user_sites.h"
#include "support/option_parser.h"

namespace vexa {
namespace {

constexpr ProgramText kProgram{"vexa sites", kVersion, "vexa sites list\nvexa sites remove URL\nvexa sites clear",
                               "Shows the sites admitted to the card readers (list), takes one out again\n"
                               "(remove, the address exactly as list shows it) or all of them (clear).\n"
                               "A page of a removed site is asked again at its next Open.",
                               2};

int list(TovConf& conf, std::ostream& out) {
    const SiteList builtIn(kTrustedSites, SiteList::Source::BuiltIn);
    const SiteList user = loadUserSites(conf, StartupInputs{}.companyDirectory);
    for (const std::string& site : builtIn.entries()) out << site << "  (built in)\n";
    for (const std::string& site : user.entries()) out << site << '\n';
    if (builtIn.entries().empty() && user.entries().empty()) out << "No site is admitted.\n";
    return 0;
}

// Saves the list as change leaves it; the result tells what to print.
int save(TovConf& conf, const std::function<void(SiteList&)>& change, std::ostream& err) {
    SiteList saved;
    if (updateUserSites(conf, change, saved) == 0) return 0;
    err << "vexa sites: cannot save " << conf.resolvedPath() << '\n';
    return 1;
}

int remove(TovConf& conf, std::string_view site, OptionParser& parser, std::ostream& out, std::ostream& err) {
    const SiteList current = loadUserSites(conf, StartupInputs{}.companyDirectory);
    const auto holds = [](SiteList list, std::string_view e) { return list.remove(e); };
    std::string entry(site);
    // The list never holds a trailing "/", which many people write.
    if (!holds(current, entry) && entry.ends_with('/') && holds(current, site.substr(0, site.size() - 1)))
        entry.pop_back();
    if (!holds(current, entry)) {
        if (holds(SiteList(kTrustedSites, SiteList::Source::BuiltIn), entry))
            return parser.refuse(site, "is built in and cannot be removed");
        return parser.refuse(site, "is not in the list of admitted sites ('vexa sites list' shows them)");
    }
    bool removed = false;
    if (const int status = save(
            conf, [&](SiteList& list) { removed = list.remove(entry); }, err);
        status != 0)
        return status;
    out << (removed ? "Removed " : "Already removed: ") << entry << '\n';
    return 0;
}

int clear(TovConf& conf, std::ostream& out, std::ostream& err) {
    loadUserSites(conf, StartupInputs{}.companyDirectory);
    std::size_t count = 0;
    if (const int status = save(
            conf,
            [&](SiteList& list) {
                count = list.entries().size();
                list = SiteList();
            },
            err);
        status != 0)
        return status;
    out << "Removed " << count << (count == 1 ? " site\n" : " sites\n");
    return 0;
}

} // namespace

int runSitesTool(std::span<char* const> args, std::ostream& out, std::ostream& err) {
    OptionParser parser(kProgram, {});
    parser.setStreams(out, err);
    const auto parsed = parser.parse(args);
    if (!parsed) return parser.exitStatus();
    const auto operands = parsed->operands();
    const std::string_view command = operands.empty() ? std::string_view() : operands[0];
    TovConf conf;
    if (command == "list" && operands.size() == 1) return list(conf, out);
    if (command == "clear" && operands.size() == 1) return clear(conf, out, err);
    if (command == "remove" && operands.size() == 2) return remove(conf, operands[1], parser, out, err);
    if (command == "remove") return parser.refuse("remove", "needs the site to remove");
    if (command == "list" || command == "clear") return parser.refuse(operands[1], "unexpected argument");
    if (command.empty()) return parser.refuse("COMMAND", "missing: list, remove or clear");
    return parser.refuse(command, "unknown command (list, remove or clear)");
}

} // namespace vexa
