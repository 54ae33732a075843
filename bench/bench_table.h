#pragma once

#include "pcsc/pcsc_api.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The benchmarks' main: reads --iterations N and --rounds R (default
// `rounds`) and runs run, turning any failure into a message and status 1.
int benchMain(int argc, char** argv, const char* name, const std::function<int(int iterations, int rounds)>& run,
              int rounds = 10);

} // namespace vexa::bench
