#include "testbed/rpcscd_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vexa::testbed {

RpcscdProcess::RpcscdProcess(const std::string& binary, const std::vector<std::string>& options) {
    // Two servers of one process need two logs.
    static std::atomic<int> started{0};
    log_ = std::filesystem::temp_directory_path() /
           ("vexa-load-" + std::to_string(::getpid()) + "-" + std::to_string(started++) + ".log");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {binary, "--listen", "127.0.0.1", "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("cannot start " + binary);
    const std::string marker = "Listening on 127.0.0.1:";
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t at = std::string::npos;
    int status = 0;
    bool ended = false;
    while (at == std::string::npos && !ended && std::chrono::steady_clock::now() < deadline) {
        ended = ::waitpid(pid_, &status, WNOHANG) == pid_;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::ifstream in(log_);
        text.assign(std::istreambuf_iterator<char>(in), {});
        at = text.find(marker);
    }
    if (at == std::string::npos) {
        if (!ended) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, &status, 0);
        }
        std::filesystem::remove(log_);
        throw std::runtime_error("vexa-rpcscd does not listen: " + text);
    }
    port_ = static_cast<std::uint16_t>(std::stoi(text.substr(at + marker.size())));
}

RpcscdProcess::~RpcscdProcess() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    if (!std::getenv("VEXA_LOAD_KEEP_LOG")) std::filesystem::remove(log_);
}

void RpcscdProcess::reload() const {
    ::kill(pid_, SIGHUP);
}

std::string RpcscdProcess::log() const {
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), {}};
}

int RpcscdProcess::entries(const char* dir) const {
    const std::filesystem::path p = "/proc/" + std::to_string(pid_) + "/" + dir;
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(p), {}));
}

long RpcscdProcess::statusKiB(std::string_view field) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    long value = 0;
    while (in >> key) {
        if (key == field && in >> value) return value;
        in.ignore(1 << 16, '\n');
    }
    return 0;
}

} // namespace vexa::testbed
