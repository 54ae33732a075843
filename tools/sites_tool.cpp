#include "tools/sites_tool.h"

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
                               "Entries marked as not honoured admit nothing; they stay until removed.\n"
                               "A damaged file is reported (list then exits with 1) and, at the next\n"
                               "change, kept beside the new one as vexa_sites.conf.damaged.\n"
                               "A page of a removed site is asked again at its next Open.",
                               2};

// A refused file is neither read nor written; the tool says why and fails.
bool refused(const TovConf& conf, std::ostream& err) {
    if (conf.refusal().empty()) return false;
    err << "vexa sites: not using " << conf.resolvedPath() << ": " << conf.refusal() << '\n';
    return true;
}

// A damaged file: what was read of it is shown, and the tool fails.
bool damaged(const TovConf& conf, const UserSites& sites, std::ostream& err) {
    if (sites.damage.empty()) return false;
    err << "vexa sites: " << sitesDamageText(conf, sites) << "; the next change keeps it as '" << damagedSitesPath(conf)
        << "'\n";
    return true;
}

int list(TovConf& conf, std::ostream& out, std::ostream& err) {
    const SiteList builtIn(kTrustedSites, SiteList::Source::BuiltIn);
    const UserSites user = loadUserSites(conf, StartupInputs{}.companyDirectory);
    if (refused(conf, err)) return 1;
    for (const std::string& site : builtIn.entries()) out << shownSite(site) << "  (built in)\n";
    for (const std::string& site : user.list.entries()) {
        out << shownSite(site);
        if (const std::string_view why = whyNotHonoured(site); !why.empty()) out << "  (not honoured: " << why << ')';
        out << '\n';
    }
    if (damaged(conf, user, err)) return 1;
    if (builtIn.entries().empty() && user.list.entries().empty()) out << "No site is admitted.\n";
    return 0;
}

// Saves the list as change leaves it; the result tells what to print.
int save(TovConf& conf, const std::function<void(SiteList&)>& change, std::ostream& err) {
    UserSites saved;
    if (updateUserSites(conf, change, saved) == 0) {
        if (!saved.damage.empty()) err << "vexa sites: kept the damaged file as " << damagedSitesPath(conf) << '\n';
        return 0;
    }
    if (!refused(conf, err)) err << "vexa sites: cannot save " << conf.resolvedPath() << '\n';
    return 1;
}

// The entry of the list that the text names: as list shows it, or without
// the trailing "/" that many people write; "" when there is none.
std::string entryNamed(const SiteList& list, std::string_view text) {
    for (std::string_view wanted : {text, text.ends_with('/') ? text.substr(0, text.size() - 1) : std::string_view()})
        for (const std::string& entry : list.entries())
            if (!wanted.empty() && (entry == wanted || shownSite(entry) == wanted)) return entry;
    return {};
}

int remove(TovConf& conf, std::string_view site, OptionParser& parser, std::ostream& out, std::ostream& err) {
    const SiteList current = loadUserSites(conf, StartupInputs{}.companyDirectory).list;
    if (refused(conf, err)) return 1;
    const std::string entry = entryNamed(current, site);
    if (entry.empty()) {
        if (!entryNamed(SiteList(kTrustedSites, SiteList::Source::BuiltIn), site).empty())
            return parser.refuse(site, "is built in and cannot be removed");
        return parser.refuse(site, "is not in the list of admitted sites ('vexa sites list' shows them)");
    }
    bool removed = false;
    if (const int status = save(
            conf, [&](SiteList& list) { removed = list.remove(entry); }, err);
        status != 0)
        return status;
    out << (removed ? "Removed " : "Already removed: ") << shownSite(entry) << '\n';
    return 0;
}

int clear(TovConf& conf, std::ostream& out, std::ostream& err) {
    loadUserSites(conf, StartupInputs{}.companyDirectory);
    if (refused(conf, err)) return 1;
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
    static constexpr CommandSpec kCommands[] = {{"list"}, {"remove", 1, 1, "needs the site to remove"}, {"clear"}};
    OptionParser parser(kProgram, {});
    parser.setStreams(out, err);
    const auto command = parser.parseCommand(args, kCommands);
    if (!command) return parser.exitStatus();
    TovConf conf;
    if ((*command)[0] == "list") return list(conf, out, err);
    if ((*command)[0] == "remove") return remove(conf, (*command)[1], parser, out, err);
    return clear(conf, out, err);
}

} // namespace vexa
