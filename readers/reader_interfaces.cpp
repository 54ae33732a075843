#include "readers/reader_interfaces.h"

#include <algorithm>
#include <array>

#include "readers/ctapi_inventory.h"
#include "readers/pcsc_inventory.h"
#include "readers/pcsc_status_source.h"
#include "readers/remote_inventory.h"
#include "readers/remote_status_source.h"

namespace vexa {
namespace {

std::unique_ptr<ReaderStatusSource> pcscSource(const RemoteServers&) {
    return std::make_unique<PcscStatusSource>();
}

std::unique_ptr<ReaderStatusSource> remoteSource(const RemoteServers& servers) {
    return std::make_unique<RemoteStatusSource>(servers);
}

// The interface table, its reader-layer half: one row per row of the card
// layer's half (cardaccess/card_interfaces.cpp), in its order. The halves
// meet by type, so control and core reach both and cardaccess needs neither
// this layer nor its inventory.
constexpr std::array<ReaderInterface, 3> kInterfaces = {{
    {INTERFACE_PCSC, addPcscReaders, pcscSource, "", false, lookAtCardState},
    {INTERFACE_REMOTE_PCSC, addRemoteReaders, remoteSource, "", true, lookAtCardState},
    {INTERFACE_CTAPI, addCtapiReaders, nullptr, "CT-API terminals report no events", false, lookAtCtapiCard},
}};

} // namespace

std::span<const ReaderInterface> readerInterfaces() {
    return kInterfaces;
}

const ReaderInterface* readerInterface(std::int32_t type) {
    const auto row = std::find_if(kInterfaces.begin(), kInterfaces.end(),
                                  [type](const ReaderInterface& r) { return r.type == type; });
    return row != kInterfaces.end() ? &*row : nullptr;
}

std::vector<const ReaderInterface*> configuredInterfaces(std::int32_t type) {
    std::vector<const ReaderInterface*> rows;
    for (const ReaderInterface& row : kInterfaces)
        if (type == row.type || type == INTERFACE_ALL) rows.push_back(&row);
    return rows;
}

bool choosableAtRunTime(std::int32_t type) {
    const ReaderInterface* row = readerInterface(type);
    return row != nullptr ? !row->needsServers : type == INTERFACE_ALL;
}

std::unique_ptr<ReaderStatusSource> makeReaderStatusSource(std::int32_t interfaceType, const RemoteServers& servers) {
    const ReaderInterface* row = readerInterface(interfaceType);
    if (row == nullptr || row->makeStatusSource == nullptr) return nullptr;
    return row->makeStatusSource(servers);
}

} // namespace vexa
