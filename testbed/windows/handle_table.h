#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "cardaccess/server_address.h"
#include "rpcsc/client_connection.h"

namespace vexa::winscard {

// One SCARDCONTEXT: a connection holding a context on the server, for
// reader lists and status waits.
struct StandInContext {
    // A context that died with the bed's pcscd stays dead, as on Windows:
    // the program above must make a new one.
    explicit StandInContext(const ServerAddress& at) : server(at) { connection.reportDeadContexts(); }

    const ServerAddress server;
    std::mutex mutex; // one call at a time on the connection
    rpcsc::ClientConnection connection;
    // Set by SCardCancel, seen by a status wait between its rounds.
    std::atomic<bool> cancelled = false;
};

// One SCARDHANDLE: a connection of its own, as the server holds one card
// per connection.
struct StandInCard {
    StandInCard(const ServerAddress& at, std::string name) : server(at), reader(std::move(name)) {}

    const ServerAddress server;
    const std::string reader; // for SCardReconnect, which connects afresh
    std::mutex mutex;         // one call at a time on the connection
    rpcsc::ClientConnection connection;
};

// The handles the stand-in gave out and the memory it allocated for
// SCARD_AUTOALLOCATE. A program may use its contexts and cards from several
// threads, and a DLL's callers share one address space, so this table is
// the stand-in's one piece of process state, guarded by one mutex. Calls on
// a context or card run outside it, under the object's own mutex.
class HandleTable {
public:
    static HandleTable& instance();

    // A new handle, never 0 and never one given out before.
    std::uintptr_t addContext(std::shared_ptr<StandInContext> context);
    std::shared_ptr<StandInContext> context(std::uintptr_t handle) const;
    // Takes the context out of the table with the cards connected through
    // it; null when the handle names no context.
    std::shared_ptr<StandInContext> removeContext(std::uintptr_t handle,
                                                  std::vector<std::shared_ptr<StandInCard>>& cards);

    // 0 when the context has gone meanwhile.
    std::uintptr_t addCard(std::uintptr_t context, std::shared_ptr<StandInCard> card);
    std::shared_ptr<StandInCard> card(std::uintptr_t handle) const;
    std::shared_ptr<StandInCard> removeCard(std::uintptr_t handle);

    // A zeroed block of n bytes that stays until free.
    void* allocate(std::size_t n);
    // False for a pointer allocate did not give out (or freed already).
    bool free(const void* block);

private:
    struct CardEntry {
        std::uintptr_t context;
        std::shared_ptr<StandInCard> card;
    };

    mutable std::mutex mutex_;
    std::uintptr_t next_ = 1;
    std::map<std::uintptr_t, std::shared_ptr<StandInContext>> contexts_;
    std::map<std::uintptr_t, CardEntry> cards_;
    std::map<const void*, std::unique_ptr<std::uint8_t[]>> blocks_;
};

} // namespace vexa::winscard
