#include "bench/bench_table.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "support/tov_exception.h"

namespace vexa::bench {
namespace {

// Mean microseconds per call over n calls.
double measure(const Variant& v, int n) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i)
        if (!v.once()) throw std::runtime_error(v.name + ": wrong answer");
    const std::chrono::duration<double, std::micro> elapsed = std::chrono::steady_clock::now() - start;
    return elapsed.count() / n;
}

} // namespace

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

Variant directTransmit(SCARDHANDLE card, std::uint32_t protocol, std::span<const std::uint8_t> command,
                       std::uint32_t answerLength) {
    return {"(a) SCardTransmit",
            [=] {
                std::array<std::uint8_t, 512> answer;
                DWORD length = answer.size();
                const SCARD_IO_REQUEST pci{protocol, sizeof(SCARD_IO_REQUEST)};
                return SCardTransmit(card, &pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                                     answer.data(), &length) == SCARD_S_SUCCESS &&
                       length == answerLength;
            },
            {}};
}

void runTable(std::vector<Variant>& variants, std::string_view label, int iterations, int rounds) {
    for (auto& v : variants) {
        v.roundMeans.clear();
        measure(v, 100); // warm-up
    }
    for (int r = 0; r < rounds; ++r)
        for (auto& v : variants) v.roundMeans.push_back(measure(v, iterations / rounds));
    const double base = median(variants.front().roundMeans);
    std::printf("\n%-10.*s %-48s %10s %8s\n", static_cast<int>(label.size()), label.data(), "variant", "us/op",
                "ratio");
    for (const auto& v : variants)
        std::printf("%-10s %-48s %10.1f %8.3f\n", "", v.name.c_str(), median(v.roundMeans),
                    median(v.roundMeans) / base);
}

std::optional<ParsedOptions> benchOptions(int argc, char** argv, const ProgramText& program,
                                          std::span<const OptionSpec> options, int& status) {
    std::ostringstream refusal;
    OptionParser parser(program, options);
    parser.setStreams(std::cout, refusal);
    auto parsed = parser.parse(std::span<char* const>(argv + 1, static_cast<std::size_t>(std::max(argc - 1, 0))));
    if (parsed) return parsed;
    if (!refusal.str().empty()) {
        std::cerr << refusal.str() << '\n';
        parser.printHelp(std::cerr);
    }
    status = 2;
    return std::nullopt;
}

int runBench(std::string_view name, const std::function<int()>& run) {
    try {
        return run();
    } catch (const TovException& e) {
        std::cerr << name << ": " << e.text() << " (" << e.code() << ")\n";
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << "\n";
    }
    return 1;
}

int benchMain(int argc, char** argv, const ProgramText& program, const std::function<int(int, int)>& run, int rounds) {
    static constexpr std::array<OptionSpec, 2> kOptions{kIterationsOption, kRoundsOption};
    int status = 0;
    const auto parsed = benchOptions(argc, argv, program, kOptions, status);
    if (!parsed) return status;
    rounds = static_cast<int>(parsed->number(kRoundsOption.name, rounds));
    const int iterations = std::max(static_cast<int>(parsed->number(kIterationsOption.name, 5000)), rounds);
    return runBench(program.name, [&] { return run(iterations, rounds); });
}

} // namespace vexa::bench
