#include "ctapi/terminal_registry.h"

#include "ctapi/ct_api.h"
#include "ctapi/ct_error.h"

namespace vexa::ctapi {

void TerminalRegistry::open(unsigned short ctn, unsigned short port) {
    {
        std::lock_guard guard(lock_);
        if (terminals_.contains(ctn)) throw CtError{CTAPI_ERR_INVALID};
    }
    // Opening talks to pcscd; other terminals need not wait for it.
    auto terminal = std::make_shared<Terminal>(PcscSession::open(port));
    std::lock_guard guard(lock_);
    if (!terminals_.emplace(ctn, std::move(terminal)).second) throw CtError{CTAPI_ERR_INVALID};
}

std::shared_ptr<Terminal> TerminalRegistry::find(unsigned short ctn) const {
    std::lock_guard guard(lock_);
    const auto it = terminals_.find(ctn);
    if (it == terminals_.end()) throw CtError{CTAPI_ERR_CT};
    return it->second;
}

void TerminalRegistry::close(unsigned short ctn) {
    std::shared_ptr<Terminal> terminal;
    {
        std::lock_guard guard(lock_);
        const auto it = terminals_.find(ctn);
        if (it == terminals_.end()) throw CtError{CTAPI_ERR_CT};
        terminal = std::move(it->second);
        terminals_.erase(it);
    }
    // A call still running on it finishes first; the last owner unpowers
    // the card and releases the context.
    std::lock_guard wait(terminal->lock());
}

} // namespace vexa::ctapi
