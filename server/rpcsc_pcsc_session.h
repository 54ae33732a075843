#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "pcsc/card.h"
#include "pcsc/context.h"
#include "rpcsc/rpcsc_request.h"
#include "rpcsc/wire_message.h"
#include "server/reader_grant.h"

namespace vexa::rpcsc {

// The PC/SC work of one client connection on the local pcscd. It accepts
// only the contexts and card handles it created itself, so one client cannot
// reach another's cards, and releases all of them when it ends.
class PcscSession final : public RequestHandler {
public:
    // Longest wait one getStatusChange may ask for: a waiting request holds
    // its connection's thread.
    static constexpr std::uint32_t kMaxWaitMs = 10000;
    // A wait is made of slices this long, so that a cancel that came just
    // before a slice began is still seen within one slice.
    static constexpr std::uint32_t kWaitSliceMs = 500;
    // Contexts one connection may hold at once.
    static constexpr std::size_t kMaxContexts = 16;

    // Every reader, as for a plain connection.
    PcscSession() = default;
    // Only the granted readers: the others are listed nowhere, and a connect
    // or a status query for one finds no such reader.
    explicit PcscSession(ReaderGrant grant) : grant_(std::move(grant)) {}
    PcscSession(const PcscSession&) = delete;
    PcscSession& operator=(const PcscSession&) = delete;

    // The answer to a parsed request.
    wire::Writer handle(const Request& request) override;

    // How many cards this connection holds; each is reset and released when
    // the session ends.
    std::size_t cardCount() const { return cards_.size(); }
    // Whether one of this connection's cards holds a transaction.
    bool holdsTransaction() const;
    // Ends every transaction of this connection with a card reset (its
    // client went quiet); the first failure's code, else 0.
    std::int32_t endTransactionsWithReset();
    // Ends a getStatusChange waiting in another thread, and answers every
    // later one with SCARD_E_CANCELLED at once: the connection is being
    // closed. Safe from another thread while the session lives.
    void cancelWaits();
    // The answer to a request that could not be carried out as sent.
    static wire::Writer failure(std::uint8_t op, std::int32_t code);

private:
    using Handler = wire::Writer (PcscSession::*)(const Request&);

    wire::Writer establishContext(const Request& r);
    wire::Writer releaseContext(const Request& r);
    wire::Writer listReaders(const Request& r);
    wire::Writer connect(const Request& r);
    wire::Writer disconnect(const Request& r);
    wire::Writer status(const Request& r);
    wire::Writer control(const Request& r);
    wire::Writer transmit(const Request& r);
    wire::Writer beginTransaction(const Request& r);
    wire::Writer endTransaction(const Request& r);
    wire::Writer getStatusChange(const Request& r);

    // A card handle and the wire value of the context it came from.
    struct OwnedCard {
        pcsc::Card card;
        std::uint64_t context = 0;
        bool transaction = false;
    };

    // This connection's own context or card for a wire value; none for any
    // other value.
    pcsc::Context* ownContext(std::uint64_t wireValue);
    OwnedCard* ownCard(std::uint64_t wireValue);

    // Whether a status query may name this reader: a granted one, or the
    // pseudo-reader that reports readers coming and going.
    bool queryable(std::string_view reader) const;

    static const Handler handlers[];

    ReaderGrant grant_;
    std::atomic<bool> cancelled_{false};
    // Held while contexts are added or released here, and while another
    // thread cancels their waits.
    std::mutex contextsLock_;

    // By wire value. Cards come after contexts, so at the end each card is
    // disconnected (with a reset) before the contexts are released.
    std::map<std::uint64_t, pcsc::Context> contexts_;
    std::map<std::uint64_t, OwnedCard> cards_;
};

} // namespace vexa::rpcsc
