// `vexa_page_api script TEMPLATE OUTPUT`: writes one of the extension's
// scripts with the page API's names filled in (see fillPageApiScript).
// `vexa_page_api reference DIR`: writes the reference's tables into DIR
// (page-api-methods.md, vexa-methods.d.ts, vexa-events.d.ts), which a test
// holds the committed docs to. Both from the host's own tables, so the page
// sees exactly the methods and events the host serves.

#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <string_view>

#include "control/page_api_text.h"

namespace {

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return text;
}

void writeFile(const std::filesystem::path& path, std::string_view text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace

int main(int argc, char** argv) {
    const std::string_view command = argc > 1 ? argv[1] : "";
    if (!(command == "script" && argc == 4) && !(command == "reference" && argc == 3)) {
        std::cerr << "usage: vexa_page_api script TEMPLATE OUTPUT\n"
                     "       vexa_page_api reference DIR\n";
        return 2;
    }
    try {
        if (command == "script") {
            writeFile(argv[3], vexa::fillPageApiScript(readFile(argv[2])));
        } else {
            const std::filesystem::path dir = argv[2];
            std::filesystem::create_directories(dir);
            writeFile(dir / "page-api-methods.md", vexa::methodTableRows());
            writeFile(dir / "vexa-methods.d.ts", vexa::methodDeclarations());
            writeFile(dir / "vexa-events.d.ts", vexa::eventDeclarations());
        }
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "vexa_page_api: " << e.what() << '\n';
        return 1;
    }
}
