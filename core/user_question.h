#pragma once

#include <string_view>

namespace vexa {

// The modal OK/Cancel question that Open puts to the user when the page's
// site is in neither list. Whoever hosts the plug-in supplies it; ask
// returns once the user has answered (narrow texts; true for OK).
class UserQuestion {
public:
    virtual ~UserQuestion() = default;

    virtual bool ask(std::string_view caption, std::string_view text) = 0;
};

} // namespace vexa
