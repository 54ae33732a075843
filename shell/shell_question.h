#pragma once

#include <string_view>

#include "core/user_question.h"

namespace vexa {

// How the shell answers the site question of Open.
enum class ShellAnswer { Yes, No, Ask };

// The site question as the shell puts it: answered as told, or asked on the
// terminal.
class ShellQuestion : public UserQuestion {
public:
    explicit ShellQuestion(ShellAnswer answer) : answer_(answer) {}

    bool ask(std::string_view caption, std::string_view text) override;

private:
    ShellAnswer answer_;
};

} // namespace vexa
