#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "cardaccess/card_backend.h"
#include "cardaccess/interface_type.h"
#include "support/call_error.h"
#include "support/name_table.h"

namespace vexa {

// The card-access operations whose log line names the back-end call that
// failed.
enum class FailureStep { connect, readAtr, readerState };

// A back-end call whose failure line says more than "<call> () unsuccessful".
struct FailureText {
    std::string_view call;
    // "{reader}" stands for the reader the operation is about, "{detail}" for
    // the error's detail. Empty: "<call> () to reader <reader> unsuccessful".
    std::string_view text;
};

// A failure of a step that is an answer rather than a fault: no log line.
struct QuietFailure {
    FailureStep step;
    std::string_view call;
    std::optional<std::int32_t> code; // none: every code
};

// One reader interface type as the card layer knows it. The reader layer
// keeps the rest of the row (listing readers, status for events) in
// readers/reader_interfaces.h, as the layers only look down; a new interface
// type is a row there, a row here and its back end.
struct CardInterface {
    InterfaceType type;
    std::string_view name; // the value of the configuration key INTERFACE
    std::unique_ptr<CardBackend> (*makeBackend)();
    std::span<const FailureText> failureTexts;
    std::span<const QuietFailure> quietFailures;
};

// Every interface type, in the order an inventory of all of them lists them.
std::span<const CardInterface> cardInterfaces();
// The row of a type; none for UNDEFINED, ALL and unknown numbers.
const CardInterface* cardInterface(std::int32_t type);

// The names of the configuration key INTERFACE: UNDEFINED, each row's, ALL.
extern const NameTable kInterfaceNames;

// The log line text of a failed back-end call (without the code's suffix).
std::string failureText(const CallError& error, std::string_view reader);
bool isQuietFailure(FailureStep step, const CallError& error);

} // namespace vexa
