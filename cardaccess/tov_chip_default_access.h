#pragma once

#include <any>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cardaccess/card_backend.h"
#include "cardaccess/card_interfaces.h"
#include "support/byte_buffer.h"
#include "support/call_error.h"
#include "support/tov_log.h"

namespace vexa {

// One connection to one chip card in one reader, over the interface type
// chosen at connect. Every operation keeps its code in lastResult and writes
// its log lines to the caller's log; none throws. The parts that differ per
// interface type live in the back ends; this class does the common steps
// once: the result, the log lines, the transaction flag and the stored ATR.
class TovChipDefaultAccess {
public:
    // With the back end of every row of the interface table.
    TovChipDefaultAccess();
    TovChipDefaultAccess(const TovChipDefaultAccess&) = delete;
    TovChipDefaultAccess& operator=(const TovChipDefaultAccess&) = delete;
    ~TovChipDefaultAccess();

    std::int32_t connect(TovLog& log, std::int32_t type, std::string_view reader, std::int32_t shareMode,
                         std::int32_t protocols);
    // Ends an open transaction with the same disposition, then the connection.
    std::int32_t disconnect(TovLog& log, std::int32_t disposition);
    // Disconnect with a reset and connect again with the stored settings.
    std::int32_t reconnect(TovLog& log);
    // Disconnect with a reset and release every back end's resources; a
    // connection that was not open counts as success.
    std::int32_t close(TovLog& log);
    bool isConnected() const;

    // The ATR: the stored one when the name is the connection's own reader,
    // else read from the named reader (stored only for the own reader).
    ByteBuffer getAtr(TovLog& log, std::int32_t type, std::string_view reader);

    // An APDU to the card, or with a control code other than 0 that code to
    // the reader. length: capacity in, bytes received out. A card's answer
    // without a status word fails: SCARD_W_REMOVED_CARD when the card is
    // gone, else SCARD_F_COMM_ERROR; a reader's may be empty.
    std::int32_t executeDirect(TovLog& log, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                               std::uint32_t& length, std::uint32_t controlCode = 0);
    // A reader control request; without raw the code is a function number.
    std::int32_t executeControl(TovLog& log, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                                std::uint32_t& length, std::uint32_t code, bool raw);
    // executeDirect, then a failing status word becomes the result (a
    // reader's answer without one counts as success).
    std::int32_t executeWithStatus(TovLog& log, std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                                   std::uint32_t& length, std::uint32_t controlCode = 0);
    // A command as hex text with blanks, at most 301 bytes.
    std::int32_t executeHex(TovLog& log, std::string_view hex, std::span<std::uint8_t> answer, std::uint32_t& length,
                            std::uint32_t controlCode = 0);
    // SELECT by DF name, no answer data wanted.
    std::int32_t selectByAid(TovLog& log, std::string_view aid);

    std::int32_t beginTransaction();
    std::int32_t endTransaction(std::int32_t disposition);

    // A transaction that has seen no card call for pcsc::kIdleTransactionLimit
    // holds up every other program that wants the card. Its owner wakes at
    // the deadline (none without such a transaction) and calls
    // endIdleTransaction, which ends it with a card reset; the next card call
    // then answers SCARD_W_RESET_CARD. True when it ended one.
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> transactionDeadline() const;
    bool endIdleTransaction(TovLog& log, Clock::time_point now = Clock::now());

    // 0 while the connected card is present, 992315 when it is gone, 992314
    // without a connection, else the check's failure.
    std::int32_t isCardRemoved(TovLog& log);
    // The named reader's PC/SC event state; works without a connection.
    std::int32_t getCardStatus(TovLog& log, std::int32_t type, std::string_view reader, std::uint32_t& state);

    std::int32_t lastResult() const { return lastResult_; }
    std::int32_t lastConnectCode() const { return lastConnectCode_; }
    std::int32_t interfaceType() const { return interfaceType_; }
    std::string readerName() const { return readerName_; }
    std::uint32_t activeProtocol() const { return activeProtocol_; }
    // T0 of the stored ATR announces TD1 and no other interface byte.
    bool atrOnlyTd1() const;
    // The connection's log suffix for a code.
    std::string logSuffix(std::int32_t code) const;

    // What an inventory found about the reader of the type that a following
    // connect names (ScapiReader::detail), for that type's back end; the
    // others forget what they were given before.
    void selectReader(std::int32_t type, const std::any& detail);
    // Every back end forgets what selectReader gave it.
    void clearReaderSelection();
    // The configured remote PC/SC servers; a remote reader name on any
    // other server gives 992401.
    void setRemoteServers(const RemoteServers& servers);

    static constexpr std::uint32_t kMaxHexCommand = 301;

    // The operations whose log line names the back-end call that failed.
    using Step = FailureStep;
    struct LogLine {
        std::int32_t level;
        std::string text;
    };
    // The line a back end's failure in a step gets about the named reader;
    // none for a failure that is an answer rather than a fault.
    static std::optional<LogLine> failureLine(Step step, const CallError& error, std::string_view reader);

private:
    CardBackend* backendFor(std::int32_t type) const;
    CardBackend* connectedBackend() const { return backendFor(interfaceType_); }
    bool ownsReader(std::string_view reader) const { return isConnected() && reader == readerName_; }
    std::int32_t connectWith(TovLog& log, CardBackend& backend);
    std::int32_t releaseConnection(TovLog& log, CardBackend& backend, std::int32_t disposition);
    std::int32_t exchangeFailed(TovLog& log, std::int32_t code, const char* operation, std::string_view reason = {});
    // A card's answer shorter than a status word: SCARD_W_REMOVED_CARD when
    // the card is gone, else SCARD_F_COMM_ERROR.
    std::int32_t answerWithoutStatus(TovLog& log, CardBackend& backend);
    // Whether the connected card is gone, asked until the reader state
    // says so or the time a removal takes to show has passed.
    bool cardGone(CardBackend& backend);
    static void logFailure(TovLog& log, Step step, const CallError& error, std::string_view reader);
    // Runs a back-end call whose failure is reported by its code alone: 0 or
    // that code.
    template <typename Call>
    static std::int32_t resultOf(Call&& call) {
        try {
            call();
            return 0;
        } catch (const CallError& e) {
            return e.code();
        }
    }
    // Before a card call: true, with the result SCARD_W_RESET_CARD, when an
    // idle end has reset the card since the last one.
    bool takeIdleReset();
    void logBytes(TovLog& log, std::string_view label, std::span<const std::uint8_t> bytes) const;
    void logCommand(TovLog& log, std::span<const std::uint8_t> command, bool apdu) const;

    // UNDEFINED, the enum's zero: no interface chosen.
    static constexpr std::int32_t kNoInterface = InterfaceType{};

    std::int32_t interfaceType_ = kNoInterface;
    std::string readerName_;
    std::int32_t shareMode_ = 0;
    std::int32_t preferredProtocols_ = 0;
    std::uint32_t activeProtocol_ = 0;
    // Each back end with the interface type it serves.
    std::vector<std::pair<std::int32_t, std::unique_ptr<CardBackend>>> backends_;
    std::int32_t lastResult_ = 0;
    std::int32_t lastConnectCode_ = 0;
    bool transaction_ = false;
    Clock::time_point lastCardCall_{};
    bool idleReset_ = false;
    ByteBuffer atr_;
};

} // namespace vexa
