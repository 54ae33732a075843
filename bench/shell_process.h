#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/unique_fd.h"

namespace vexa::bench {

// A child process fed lines on its stdin and read line by line from its
// stdout: here `vexa shell`. The destructor closes its input and reaps it.
class ShellProcess {
public:
    ShellProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir);
    ShellProcess(const ShellProcess&) = delete;
    ShellProcess& operator=(const ShellProcess&) = delete;
    ~ShellProcess();

    // Sends one line and returns the answer line; "" when the child is gone.
    std::string call(std::string_view line);

private:
    platform::UniqueFd in_;
    platform::UniqueFd out_;
    pid_t pid_ = -1;
    std::string buffer_;
};

} // namespace vexa::bench
