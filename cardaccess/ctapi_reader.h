#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "cardaccess/dynamic_library.h"

namespace vexa {

// What HBCIKRNL.INI says about one CT-API terminal.
struct CtapiSettings {
    std::string name;    // the key of its [CardReader] entry
    std::string library; // CtDllName: file name or path of the driver
    std::int32_t port = 0;
};

// One CT-API terminal reached through its driver library: the entry points
// CT_init, CT_data and CT_close, the port, and whether the terminal is open
// and its card active. Always terminal number 1 towards the driver.
//
// A copy takes the settings only and loads its own library when used; a move
// takes the library and state along.
class CtapiReader {
public:
    using InitFn = signed char (*)(unsigned short ctn, unsigned short pn);
    using DataFn = signed char (*)(unsigned short ctn, unsigned char* dad, unsigned char* sad, unsigned short lenc,
                                   unsigned char* command, unsigned short* lenr, unsigned char* response);
    using CloseFn = signed char (*)(unsigned short ctn);

    static constexpr unsigned short kTerminal = 1;
    // CT-API addresses (dad/sad).
    static constexpr unsigned char kCard = 0, kTerminalUnit = 1, kHost = 2;
    static constexpr std::uint8_t kTerminalClass = 0x20;
    // A CT-BCS command (class byte 20) goes to the terminal, any other to
    // the card.
    static bool addressesTerminal(std::span<const std::uint8_t> command) {
        return !command.empty() && command[0] == kTerminalClass;
    }
    // The terminal's answer buffers for status and eject.
    static constexpr std::uint32_t kAnswerSize = 301;

    CtapiReader() = default;
    explicit CtapiReader(CtapiSettings settings) : settings_(std::move(settings)) {}
    CtapiReader(const CtapiReader& other) : settings_(other.settings_) {}
    CtapiReader& operator=(const CtapiReader& other);
    CtapiReader(CtapiReader&& other) noexcept;
    CtapiReader& operator=(CtapiReader&& other) noexcept;
    ~CtapiReader() { reset(); }

    // Loads the library and resolves the three entry points; false when the
    // name is empty, the library cannot be loaded or an entry point is
    // missing (a library loaded so far stays loaded until reset).
    bool loadLibrary();
    // Why the trust rule refused the library at the last load ("" if not).
    const std::string& loadRefusal() const { return module_.refusal(); }
    // CT_init(1, port) once; 992300 when the driver cannot be loaded.
    std::int32_t readerInit();
    // One CT_data call: to the terminal for class byte 20, else to the card.
    // length: capacity in, bytes written out. The driver's result.
    std::int32_t dataExchange(std::span<const std::uint8_t> command, std::span<std::uint8_t> answer,
                              std::uint32_t& length);
    // Resets the card (RESET CT for slot 1, whole ATR): the status word, the
    // answer being ATR and status word; 0 and no answer when already active.
    std::int32_t readerConnect(std::span<std::uint8_t> answer, std::uint32_t& length);
    // GET STATUS of the card slot: status 0 means no card.
    std::int32_t readerStatus(std::uint8_t& status);
    // EJECT ICC; the card counts as inactive afterwards whatever the result.
    std::int32_t readerEject();
    // CT_close when open; 992300 without a driver.
    std::int32_t readerClose();
    // Eject, close and unload as needed, then empty.
    void reset();

    const std::string& name() const { return settings_.name; }
    const std::string& library() const { return settings_.library; }
    std::int32_t port() const { return settings_.port; }
    const CtapiSettings& settings() const { return settings_; }
    bool cardActive() const { return cardActive_; }
    bool opened() const { return opened_; }

private:
    CtapiSettings settings_;
    DynamicLibrary module_;
    InitFn init_ = nullptr;
    DataFn data_ = nullptr;
    CloseFn close_ = nullptr;
    bool opened_ = false;
    bool cardActive_ = false;
};

} // namespace vexa
