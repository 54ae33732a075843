#include "bench/bench_table.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
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

int benchMain(int argc, char** argv, const char* name, const std::function<int(int, int)>& run, int rounds) {
    int iterations = 5000;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--iterations")
            iterations = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--rounds")
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    iterations = std::max(iterations, rounds);
    try {
        return run(iterations, rounds);
    } catch (const TovException& e) {
        std::cerr << name << ": " << e.text() << " (" << e.code() << ")\n";
    } catch (const std::exception& e) {
        std::cerr << name << ": " << e.what() << "\n";
    }
    return 1;
}

} // namespace vexa::bench
