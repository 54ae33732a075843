#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "ctapi/terminal.h"

namespace vexa::ctapi {

// The open terminals by terminal number. Calls on different terminals run
// side by side; each terminal serialises its own.
class TerminalRegistry {
public:
    // Throws CtError: ERR_INVALID for a number already open, or what opening
    // the reader gave.
    void open(unsigned short ctn, unsigned short port);
    // The terminal, kept alive while the caller uses it; ERR_CT when closed.
    std::shared_ptr<Terminal> find(unsigned short ctn) const;
    // ERR_CT when it was not open.
    void close(unsigned short ctn);

private:
    mutable std::mutex lock_;
    std::map<unsigned short, std::shared_ptr<Terminal>> terminals_;
};

} // namespace vexa::ctapi
