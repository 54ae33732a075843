#include "bench/shell_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "platform/blocking_io.h"

namespace vexa::bench {

ShellProcess::ShellProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workDir) {
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    in_.reset(toChild[1]);
    platform::UniqueFd childIn(toChild[0]);
    if (pipe2(fromChild, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    out_.reset(fromChild[0]);
    platform::UniqueFd childOut(fromChild[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, childIn.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, childOut.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start " + program);
}

ShellProcess::~ShellProcess() {
    in_.reset(); // end of input ends the shell
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
}

std::string ShellProcess::call(std::string_view line) {
    std::string out(line);
    out += '\n';
    std::string answer;
    if (!platform::writeAll(in_.get(), out) || !platform::readLine(out_.get(), buffer_, answer)) return {};
    return answer;
}

} // namespace vexa::bench
