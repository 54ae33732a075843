#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vexa::testbed {

// A vexa-rpcscd of its own on an ephemeral loopback port, a process of its
// own so that its memory, descriptors and threads are its alone; logging to
// a file, since it writes a line per connection. Ended with SIGTERM when
// the object goes.
class RpcscdProcess {
public:
    // Starts binary with `--listen 127.0.0.1 --port 0` and options, and
    // waits until it listens; throws std::runtime_error when it does not.
    RpcscdProcess(const std::string& binary, const std::vector<std::string>& options = {});
    RpcscdProcess(const RpcscdProcess&) = delete;
    RpcscdProcess& operator=(const RpcscdProcess&) = delete;
    ~RpcscdProcess();

    std::uint16_t port() const { return port_; }
    // "127.0.0.1:port", as a server entry names it.
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Entries of /proc/PID/dir ("fd", "task").
    int entries(const char* dir) const;
    // The peak resident memory so far (VmHWM).
    long peakKiB() const { return statusKiB("VmHWM:"); }
    // Its memory in use now.
    long residentKiB() const { return statusKiB("VmRSS:"); }
    // Sends SIGHUP: a TLS server re-reads its files.
    void reload() const;
    // What it has logged so far.
    std::string log() const;

private:
    long statusKiB(std::string_view field) const;
    std::filesystem::path log_;
    pid_t pid_ = 0;
    std::uint16_t port_ = 0;
};

} // namespace vexa::testbed
