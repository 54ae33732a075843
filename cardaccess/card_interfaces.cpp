#include "cardaccess/card_interfaces.h"

#include <algorithm>
#include <array>

#include "cardaccess/ctapi_backend.h"
#include "cardaccess/ctbcs_status.h"
#include "cardaccess/pcsc_backend.h"
#include "cardaccess/pcsc_failure.h"
#include "cardaccess/remote_pcsc_backend.h"

namespace vexa {
namespace {

template <typename Backend>
std::unique_ptr<CardBackend> make() {
    return std::make_unique<Backend>();
}

constexpr std::array<FailureText, 1> kPcscTexts = {{
    {"SCardConnect", ""},
}};
constexpr std::array<QuietFailure, 1> kPcscQuiet = {{
    // A status query reports a missing resource manager by its code alone.
    {FailureStep::readerState, "SCardEstablishContext", std::nullopt},
}};

constexpr std::array<FailureText, 2> kRemoteTexts = {{
    {"rpcsc.useServer", "Cannot connect remote PC/SC server {detail}"},
    {"rpcsc.connect", ""},
}};

constexpr std::array<FailureText, 3> kCtapiTexts = {{
    {"ctapi.listReaders", "CTAPI reader list is emtpy on connect to {reader}"},
    {"ctapi.findReader", "CTAPI reader not found in reader list: {reader}"},
    {"ctapi.readerConnect", ""},
}};
constexpr std::array<QuietFailure, 2> kCtapiQuiet = {{
    // "No card presented" is an answer, not a fault.
    {FailureStep::connect, "ctapi.readerConnect", ctbcs::kNoCardInTime},
    {FailureStep::connect, "ctapi.readerConnect", ctbcs::kNoCard},
}};

// The interface table, its card-layer half: the reader layer above keeps the
// other half (readers/reader_interfaces.cpp) in the same order, so that no
// layer needs one above it. A new type: a row in each half and its back end.
constexpr std::array<CardInterface, 3> kInterfaces = {{
    {INTERFACE_PCSC, "PCSC", make<PcscBackend>, kPcscTexts, kPcscQuiet},
    {INTERFACE_REMOTE_PCSC, "REMOTE_PCSC", make<RemotePcscBackend>, kRemoteTexts, {}},
    {INTERFACE_CTAPI, "CTAPI", make<CtapiBackend>, kCtapiTexts, kCtapiQuiet},
}};

constexpr auto kNamePairs = [] {
    std::array<NamedValue, kInterfaces.size() + 2> pairs{};
    pairs.front() = {"UNDEFINED", INTERFACE_UNDEFINED};
    for (std::size_t i = 0; i < kInterfaces.size(); ++i) pairs[i + 1] = {kInterfaces[i].name, kInterfaces[i].type};
    pairs.back() = {"ALL", INTERFACE_ALL};
    return pairs;
}();

// The pattern with its fields filled in. Only the pattern is searched for
// fields: reader names come from pages and may hold anything.
std::string fillIn(std::string_view pattern, std::string_view reader, std::string_view detail) {
    constexpr std::string_view kReader = "{reader}", kDetail = "{detail}";
    std::string text;
    for (std::size_t open = pattern.find('{'); open != std::string_view::npos; open = pattern.find('{')) {
        text += pattern.substr(0, open);
        pattern.remove_prefix(open);
        if (pattern.starts_with(kReader)) {
            text += reader;
            pattern.remove_prefix(kReader.size());
        } else if (pattern.starts_with(kDetail)) {
            text += detail;
            pattern.remove_prefix(kDetail.size());
        } else {
            text += pattern.front();
            pattern.remove_prefix(1);
        }
    }
    return text += pattern;
}

} // namespace

constinit const NameTable kInterfaceNames{kNamePairs};

std::span<const CardInterface> cardInterfaces() {
    return kInterfaces;
}

const CardInterface* cardInterface(std::int32_t type) {
    const auto row =
        std::find_if(kInterfaces.begin(), kInterfaces.end(), [type](const CardInterface& r) { return r.type == type; });
    return row != kInterfaces.end() ? &*row : nullptr;
}

std::string failureText(const CallError& error, std::string_view reader) {
    for (const CardInterface& row : kInterfaces)
        for (const FailureText& entry : row.failureTexts)
            if (entry.call == error.call())
                return entry.text.empty() ? failedCallText(entry.call, reader)
                                          : fillIn(entry.text, reader, error.detail());
    return failedCallText(error.call());
}

bool isQuietFailure(FailureStep step, const CallError& error) {
    for (const CardInterface& row : kInterfaces)
        for (const QuietFailure& quiet : row.quietFailures)
            if (quiet.step == step && quiet.call == error.call() && (!quiet.code || *quiet.code == error.code()))
                return true;
    return false;
}

} // namespace vexa
