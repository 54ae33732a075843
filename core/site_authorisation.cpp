// Open and the lists of admitted sites.
#include "core/chip_card_plugin.h"
#include "core/setting_tables.h"
#include "core/site_address.h"
#include "core/trusted_sites.h"
#include "core/user_sites.h"

namespace vexa {

void ChipCardPlugin::loadAllowedSites(std::string_view companyDirectory) {
    const UserSites sites = loadUserSites(sitesConf, companyDirectory);
    allowedSites = sites.list.text();
    // The log is not set up yet: loadConfiguration reports it.
    sitesDamage = sites.damage.empty() ? std::string() : sitesDamageText(sitesConf, sites);
}

void ChipCardPlugin::refreshAllowedSites() {
    // Another object or process may have admitted a site since.
    if (!sitesConf.isLoaded() || !sitesConf.changedOnDisk()) return;
    const UserSites sites = reloadUserSites(sitesConf);
    allowedSites = sites.list.text();
    if (!sites.damage.empty()) log_.write(LOG_ERROR, sitesDamageText(sitesConf, sites) + ".");
}

bool ChipCardPlugin::isSiteAllowed(const SiteAddress& page) const {
    return SiteList(kTrustedSites, SiteList::Source::BuiltIn).admits(page) ||
           SiteList(allowedSites, SiteList::Source::User).admits(page);
}

int ChipCardPlugin::addAllowedSite(std::string_view site) {
    // Unchanged when the file cannot be locked.
    UserSites saved{SiteList(allowedSites, SiteList::Source::User), {}};
    const int result = updateUserSites(
        sitesConf, [&](SiteList& current) { current.add(site); }, saved);
    allowedSites = saved.list.text();
    if (result == 0 && !saved.damage.empty())
        log_.write(LOG_WARNING, "Kept the damaged sites file as '" + damagedSitesPath(sitesConf) + "'");
    return result;
}

std::int32_t ChipCardPlugin::Open(std::string_view identifier) {
    pageIdentifier = identifier;
    if (siteChecked) {
        lastError = initialised ? 0 : ERR_NOT_INITIALISED;
        return lastError;
    }
    siteChecked = 1;

    const SiteAddress page = judgePage(page_);
    bool admitted = page.kind != SiteAddress::Kind::Opaque;
    int stored = 0;
    if (admitted) {
        refreshAllowedSites();
        if (!isSiteAllowed(page)) {
            admitted = question_.ask("Frage", siteQuestion(page));
            // What may not be stored is admitted for this life only.
            if (admitted && page.storable) stored = addAllowedSite(page.site);
        }
    }
    initialised = admitted ? 1 : 0;
    if (admitted) log_.liftCap();
    // The user's yes still holds for this page; the next one asks again.
    if (stored != 0)
        log_.write(LOG_ERROR, "Cannot save the admitted site in '" + sitesConf.resolvedPath() + "' (return code " +
                                  std::to_string(stored) + "); it is admitted for this page only");
    lastError = admitted ? 0 : ERR_NOT_INITIALISED;
    return lastError;
}

} // namespace vexa
