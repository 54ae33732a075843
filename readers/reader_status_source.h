#pragma once

#include "pcsc/pcsc_api.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "cardaccess/remote_servers.h"

namespace vexa {

// How long one monitor pass looks for changes: the sleep before a polling
// query, or the longest wait of a query that waits itself.
inline constexpr std::chrono::milliseconds kEventPassInterval{100};

// Where the event monitor asks for reader state changes: the local PC/SC
// resource manager or a remote PC/SC server. Failures throw TovException
// with the monitor's failure text.
class ReaderStatusSource {
public:
    virtual ~ReaderStatusSource() = default;

    // Takes what the queries need (a context, a server list).
    virtual void open() = 0;
    // One query; it waits up to kEventPassInterval for a change when waits()
    // says so, else it returns at once. False when nothing changed (or the
    // wait was cancelled); true when the entries' event states were filled
    // in.
    virtual bool query(std::span<SCARD_READERSTATE> states) = 0;
    // Whether query waits for changes itself, so that passes need no sleep
    // between them.
    virtual bool waits() const { return false; }
    // Ends a query waiting in another thread. The caller keeps it apart
    // from open and close.
    virtual void cancel() {}
    // Gives back what open took; nothing when nothing is held.
    virtual void close() = 0;
};

// pcsc-lite reports a card that another application starts to use as no
// change, although the states it fills in show the use. True, with that
// entry marked changed, when an entry's use differs from what was known.
bool useChanged(std::span<SCARD_READERSTATE> states);

// The source for an interface type, from its row of the interface table
// (reader_interfaces.cpp); none for a type without events (CT-API, all
// types at once).
std::unique_ptr<ReaderStatusSource> makeReaderStatusSource(std::int32_t interfaceType, const RemoteServers& servers);

} // namespace vexa
