// `vexa-host`: the browser's native-messaging host, one process per page
// object, and the commands that register it with the browsers.

#include <array>
#include <exception>
#include <iostream>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "control/answer_channel.h"
#include "host/host_registration.h"
#include "host/host_session.h"
#include "platform/shared_files.h"
#include "platform/signals.h"
#include "platform/std_streams.h"
#include "platform/system.h"
#include "support/option_parser.h"
#include "support/tov_file.h"
#include "support/version.h"

namespace {

using Args = std::span<char*>;

constexpr std::array<vexa::OptionSpec, 2> kRegistrationOptions{{
    {"--system", "", "for every user of the machine"},
    {"--user-data-dir", "DIR", "for the Chromium profile directory DIR only"},
}};

constexpr std::string_view kSynopsis =
    "vexa-host register [--system | --user-data-dir DIR]\n"
    "vexa-host unregister [--system | --user-data-dir DIR]";

constexpr std::string_view kDescriptionAfterRegister =
    vexa::platform::kWindows
        ? "              Google Chrome, Microsoft Edge, Chromium and Firefox find\n"
          "              through their keys (HKCU, or HKLM with --system) to start\n"
          "              this program\n"
          "  unregister  removes them again\n"
          "Without --system: for the current user.\n"
          "The browser itself starts vexa-host with the calling extension's origin\n"
          "(Chromium) or with the manifest's path and the add-on's id (Firefox)."
        : "              let Chromium, Google Chrome and Firefox start this program\n"
          "  unregister  removes them again\n"
          "Without --system or --user-data-dir: for the current user.\n"
          "The browser itself starts vexa-host with the calling extension's origin\n"
          "(Chromium) or with the manifest's path and the add-on's id (Firefox).";

// The manifests are named after the build's host name.
const std::string& description() {
    static const std::string text = "  register    writes the native-messaging manifests (" +
                                    std::string(vexa::kManifestFileName) + ") that\n" +
                                    std::string(kDescriptionAfterRegister);
    return text;
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

int runHost() {
    // A browser that closed the pipe must end the host through a failed
    // write, not a signal.
    vexa::platform::ignoreBrokenPipes();
    try {
        vexa::AnswerChannel answers;
        vexa::HostSession session(vexa::platform::standardInput(), answers.stream());
        return session.run();
    } catch (const std::exception& e) {
        std::cerr << "vexa-host: " << e.what() << '\n';
        return 1;
    }
}

// The manifests' places the options name, or nullopt after a refusal.
std::optional<std::vector<vexa::ManifestTarget>> targetsFor(vexa::OptionParser& parser, Args args) {
    const auto options = parser.parse(args);
    if (!options) return std::nullopt;
    if (options->has("--system") && options->has("--user-data-dir")) {
        parser.refuse("--system", "cannot go with --user-data-dir");
        return std::nullopt;
    }
    if (options->has("--system")) return vexa::systemManifestTargets();
    if (!options->has("--user-data-dir")) return vexa::currentUserManifestTargets();
    if (vexa::platform::kWindows) {
        parser.refuse("--user-data-dir", "browsers on Windows find hosts through the registry only");
        return std::nullopt;
    }
    const std::string_view directory = options->value("--user-data-dir");
    if (directory.empty()) {
        parser.refuse("--user-data-dir", "needs a directory");
        return std::nullopt;
    }
    return vexa::profileManifestTargets(std::string(directory));
}

int runRegistration(std::string_view command, Args args) {
    const std::string name = "vexa-host " + std::string(command);
    vexa::OptionParser parser({name, vexa::kVersion, kSynopsis, description()}, kRegistrationOptions);
    try {
        const auto targets = targetsFor(parser, args);
        if (!targets) return parser.exitStatus();
        const std::string hostPath = vexa::platform::executablePath();
        if (hostPath.empty()) throw std::runtime_error("cannot tell this program's own path");
        vexa::HostRegistration registration(*targets, hostPath);
        const bool registering = command == "register";
        const std::int32_t code = registering ? registration.registerHost() : registration.unregisterHost();
        if (code == 0) return 0;
        std::cerr << name << ": " << registration.failure() << (registering ? "; nothing was registered\n" : "\n");
        return 1;
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << '\n';
        return 1;
    }
}

} // namespace

int main(int argc, char** argv) {
    const Args args(argv, static_cast<std::size_t>(argc));
    // The browser's launch comes first: its arguments are the browser's, not ours.
    if (isBrowserLaunch(args)) return runHost();
    const std::string_view command = args.size() >= 2 ? args[1] : "";
    if (command == "register" || command == "unregister") return runRegistration(command, args.subspan(2));
    vexa::OptionParser parser({"vexa-host", vexa::kVersion, kSynopsis, description(), 1}, {});
    if (command.empty()) {
        parser.printHelp(std::cerr);
        return 2;
    }
    if (command.starts_with("chrome-extension://"))
        return parser.refuse(args[2], "unexpected after the caller's origin");
    if (!parser.parse(args.subspan(1, 1))) return parser.exitStatus();
    return parser.refuse(command, "unknown command");
}
