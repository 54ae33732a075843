#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/option_parser.h"

namespace vexa::bench {

// One way of doing the measured operation.
struct Variant {
    std::string name;
    std::function<bool()> once; // one operation; false when its answer is wrong
    std::vector<double> roundMeans;
};

// Variant (a) of every benchmark: the command sent with SCardTransmit on a
// card connected directly, its answer expected to be answerLength bytes.
Variant directTransmit(SCARDHANDLE card, std::uint32_t protocol, std::span<const std::uint8_t> command,
                       std::uint32_t answerLength);

// The median of the values (not empty).
double median(std::vector<double> values);

// Measures every variant in rounds that alternate the variants, so a slow
// phase of the machine hits all of them, and prints microseconds per
// operation (median of the rounds' means) with the ratio to the first.
void runTable(std::vector<Variant>& variants, std::string_view label, int iterations, int rounds);

// The option rows most benches share.
inline constexpr OptionSpec kIterationsOption{"--iterations", "N", "operations per variant and round",
                                              NumberRange{1, 100'000'000, "a count"}};
inline constexpr OptionSpec kRoundsOption{"--rounds", "R", "rounds", NumberRange{1, 100'000, "a count"}};

// A bench's command line, read by the parser every VEXA program uses. A
// bench never starts measuring on a line it did not understand: --help, and
// anything refused (with the usage after the reason, on stderr), end it with
// status 2 in `status` and none returned.
std::optional<ParsedOptions> benchOptions(int argc, char** argv, const ProgramText& program,
                                          std::span<const OptionSpec> options, int& status);

// Runs a bench, turning any failure into a message and status 1.
int runBench(std::string_view name, const std::function<int()>& run);

// The main of a bench that takes --iterations N (default 5000) and --rounds
// R (default `rounds`) and nothing else.
int benchMain(int argc, char** argv, const ProgramText& program,
              const std::function<int(int iterations, int rounds)>& run, int rounds = 10);

} // namespace vexa::bench
