// `vexa_host_manifest chromium|firefox HOST_PATH OUTPUT`: writes the
// native-messaging manifest that points a browser at HOST_PATH, so an
// installation's manifests come from the same code as `vexa-host register`.

#include <fstream>
#include <iostream>
#include <string_view>

#include "host/host_registration.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: vexa_host_manifest chromium|firefox HOST_PATH OUTPUT\n";
        return 2;
    }
    const std::string_view browser = argv[1];
    if (browser != "chromium" && browser != "firefox") {
        std::cerr << "vexa_host_manifest: unknown browser '" << browser << "'\n";
        return 2;
    }
    const auto form = browser == "chromium" ? vexa::ManifestForm::Chromium : vexa::ManifestForm::Firefox;
    std::ofstream out(argv[3], std::ios::binary | std::ios::trunc);
    out << vexa::manifestText(form, argv[2]);
    out.close();
    if (!out) {
        std::cerr << "vexa_host_manifest: cannot write " << argv[3] << '\n';
        return 1;
    }
    return 0;
}
