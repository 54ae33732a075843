// `vexa-host`: the browser's native-messaging host, one process per page
// object, and the commands that register it with the browsers.

#include <unistd.h>

#include <csignal>
#include <exception>
#include <filesystem>
#include <iostream>
#include <optional>
#include <span>
#include <string_view>

#include "control/answer_channel.h"
#include "control/host_registration.h"
#include "control/host_session.h"
#include "support/tov_file.h"

namespace {

using Args = std::span<char*>;

int usage() {
    std::cerr << "usage: vexa-host register [--system | --user-data-dir DIR]\n"
                 "       vexa-host unregister [--system | --user-data-dir DIR]\n"
                 "  register    writes the native-messaging manifests (de.meridan.vexa.json) that\n"
                 "              let Chromium, Google Chrome and Firefox start this program\n"
                 "  unregister  removes them again\n"
                 "  (default: for the current user)\n"
                 "  --system             for every user of the machine\n"
                 "  --user-data-dir DIR  for the Chromium profile directory DIR only\n"
                 "The browser itself starts vexa-host with the calling extension's origin.\n";
    return 2;
}

// Chromium passes the caller's origin and perhaps options such as
// --parent-window=N; Firefox passes the manifest's path and the extension id.
bool isBrowserLaunch(Args args) {
    if (args.size() < 2) return false;
    const std::string_view first = args[1];
    if (first.starts_with("chrome-extension://")) {
        for (std::string_view option : args.subspan(2)) {
            if (!option.starts_with("--")) return false;
        }
        return true;
    }
    return args.size() == 3 && first.ends_with(".json");
}

// A browser starts the host in the browser's own directory; a log named
// relative to the current directory belongs to the user instead.
void enterUserDirectory() {
    vexa::TovFile directory;
    directory.set("MERIDAN", "HOMEDIR", "");
    const std::string& path = directory.resolvedPath();
    if (!path.empty() && ::chdir(path.c_str()) != 0) {
        // Staying where the browser put us only costs the log.
    }
}

int runHost() {
    // A browser that closed the pipe must end the host through a failed
    // write, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
    enterUserDirectory();
    try {
        vexa::AnswerChannel answers;
        vexa::HostSession session(STDIN_FILENO, answers.stream());
        return session.run();
    } catch (const std::exception& e) {
        std::cerr << "vexa-host: " << e.what() << '\n';
        return 1;
    }
}

std::optional<std::vector<vexa::ManifestTarget>> targetsFor(Args options) {
    if (options.empty()) return vexa::currentUserManifestTargets();
    const std::string_view option = options[0];
    if (option == "--system" && options.size() == 1) return vexa::systemManifestTargets();
    if (option == "--user-data-dir" && options.size() == 2 && *options[1] != '\0') {
        return vexa::profileManifestTargets(options[1]);
    }
    return std::nullopt;
}

int runRegistration(std::string_view command, Args options) {
    try {
        const auto targets = targetsFor(options);
        if (!targets) return usage();
        vexa::HostRegistration registration(*targets, std::filesystem::read_symlink("/proc/self/exe").string());
        const bool registering = command == "register";
        const std::int32_t code = registering ? registration.registerHost() : registration.unregisterHost();
        if (code == 0) return 0;
        std::cerr << "vexa-host " << command << ": " << registration.failure()
                  << (registering ? "; nothing was registered\n" : "\n");
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "vexa-host " << command << ": " << e.what() << '\n';
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    const Args args(argv, static_cast<std::size_t>(argc));
    if (args.size() >= 2) {
        const std::string_view command = args[1];
        if (command == "register" || command == "unregister") return runRegistration(command, args.subspan(2));
    }
    if (isBrowserLaunch(args)) return runHost();
    return usage();
}
