#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>
#include <utility>

#include "pcsc/card.h"
#include "pcsc/context.h"

namespace vexa::pcsc {

// Whether a call's code says that the resource manager its context was made
// with is gone: pcscd restarted, or Windows stopped its smart-card service
// with the last reader. The context and every card handle made on it died
// for good, although their handles still look valid.
bool serviceGone(std::int32_t code);
// A call's code on a card handle as the card's owner reports it: a handle
// that died with its service is a card gone (SCARD_W_REMOVED_CARD).
std::int32_t cardCallCode(std::int32_t code);

// The PC/SC context of an owner that outlives the service: the one place
// where a context that died with its service is dropped and made anew.
class ServiceContext {
public:
    explicit ServiceContext(DWORD scope = SCARD_SCOPE_USER) : scope_(scope) {}

    // Runs call(const Context&), which returns a code, on the context held,
    // established first when there is none. A call answered with a code of
    // serviceGone is made once more on a new context; where no new one can
    // be made, that failure is the answer. Only for calls that need the
    // context alone (connect, list readers, status change): a call on a card
    // handle may have reached the card and must never be repeated.
    template <typename Call>
    std::int32_t run(Call&& call) {
        if (const std::int32_t made = ensure(); made != 0) return made;
        const std::int32_t result = call(std::as_const(context_));
        if (!serviceGone(result)) return result;
        drop();
        if (const std::int32_t made = ensure(); made != 0) return made;
        return call(std::as_const(context_));
    }

    // Whether the card's handle was connected on the context held now; a
    // handle of an earlier context died with it and must not be used.
    bool holds(const Card& card) const {
        return card.valid() && context_.valid() && card.contextSerial() == context_.serial();
    }
    // Gives up a context that a card call found dead; the next run makes a
    // new one.
    void drop() noexcept;
    // SCardReleaseContext; 0 when none is held.
    std::int32_t release() noexcept { return context_.release(); }
    bool valid() const { return context_.valid(); }
    const Context& context() const { return context_; }

private:
    std::int32_t ensure() noexcept;

    Context context_;
    DWORD scope_;
};

} // namespace vexa::pcsc
