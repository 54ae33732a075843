#pragma once

#include <string>
#include <string_view>

#include "core/chip_card_plugin.h"

namespace vexa {

// How the shell answers the site question of Open.
enum class ShellAnswer { Yes, No, Ask };

struct ShellOptions {
    std::string url;    // the page address Open sees
    std::string origin; // the origin of the page's frame, as a browser gives it
    ShellAnswer answer = ShellAnswer::No;
};

// The plug-in as the shell hosts it: the page address comes from the command
// line and the site question is answered as told, or asked on the terminal.
class ShellControl : public ChipCardPlugin {
public:
    explicit ShellControl(ShellOptions options);

protected:
    std::string pageAddress() override;
    std::string pageOrigin() override;
    bool askUser(std::string_view caption, std::string_view text) override;

private:
    ShellOptions options_;
};

} // namespace vexa
