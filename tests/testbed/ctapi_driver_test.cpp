// libvexa-ctapi.so loaded as any CT-API application loads it, against the
// test bed's pcscd: port 1 is "Virtual PCD 00 00" (card 0), port 2 card 1.
#include <array>
#include <thread>
#include <vector>

#include "cardaccess/ctapi_reader.h"
#include "cardaccess/dynamic_library.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

constexpr signed char OK = 0, ERR_INVALID = -1, ERR_CT = -8, ERR_TRANS = -10, ERR_MEMORY = -11;
constexpr unsigned char kCardUnit = 0, kTerminalUnit = 1, kHost = 2;
const std::vector<std::uint8_t> kAtr = {0x3B, 0x88, 0x80, 0x01, 0x56, 0x45, 0x58, 0x41, 0x43, 0x41, 0x52, 0x44, 0x17};

class CtapiDriverTest : public TestBedTest {
protected:
    DynamicLibrary driver = DynamicLibrary::open(VEXA_CTAPI_DRIVER);
    CtapiReader::InitFn init = reinterpret_cast<CtapiReader::InitFn>(driver.symbol("CT_init"));
    CtapiReader::DataFn data = reinterpret_cast<CtapiReader::DataFn>(driver.symbol("CT_data"));
    CtapiReader::CloseFn close = reinterpret_cast<CtapiReader::CloseFn>(driver.symbol("CT_close"));

    void SetUp() override {
        TestBedTest::SetUp();
        ASSERT_TRUE(driver.valid()) << driver.error();
        ASSERT_TRUE(init && data && close);
    }

    // One CT_data call; the answer, or the return code in result.
    std::vector<std::uint8_t> send(unsigned short ctn, unsigned char unit, std::vector<std::uint8_t> command,
                                   signed char& result, unsigned short capacity = 300) {
        std::vector<std::uint8_t> answer(capacity);
        unsigned char dad = unit, sad = kHost;
        unsigned short length = capacity;
        result =
            data(ctn, &dad, &sad, static_cast<unsigned short>(command.size()), command.data(), &length, answer.data());
        if (result != OK) return {};
        EXPECT_EQ(dad, kHost); // the answer comes back from where the command went
        EXPECT_EQ(sad, unit);
        answer.resize(length);
        return answer;
    }
    std::vector<std::uint8_t> send(unsigned short ctn, unsigned char unit, std::vector<std::uint8_t> command) {
        signed char result = 0;
        auto answer = send(ctn, unit, std::move(command), result);
        EXPECT_EQ(result, OK);
        return answer;
    }
    static std::vector<std::uint8_t> withSw(std::vector<std::uint8_t> bytes, std::uint8_t sw1, std::uint8_t sw2) {
        bytes.push_back(sw1);
        bytes.push_back(sw2);
        return bytes;
    }
};

TEST_F(CtapiDriverTest, RequestIccGivesTheAtrAndApdusReachTheCard) {
    ASSERT_EQ(init(1, 1), OK);
    EXPECT_EQ(init(1, 1), ERR_INVALID); // already open
    EXPECT_EQ(send(1, kTerminalUnit, {0x20, 0x12, 0x01, 0x01, 0x00}), withSw(kAtr, 0x90, 0x01));
    EXPECT_EQ(send(1, kTerminalUnit, {0x20, 0x12, 0x01, 0x01, 0x00}), withSw({}, 0x62, 0x01)); // already up
    EXPECT_EQ(send(1, kTerminalUnit, {0x20, 0x13, 0x00, 0x80, 0x00}), withSw({0x80, 0x01, 0x05}, 0x90, 0x00));
    EXPECT_EQ(send(1, kCardUnit, {0x80, 0xEE, 0x00, 0x00, 0x03, 0x01, 0x02, 0x03}), withSw({1, 2, 3}, 0x90, 0x00));
    EXPECT_NE(card0.require("received").find("80EE000003010203"), std::string::npos);
    // An answer of 256 data bytes and the status word.
    EXPECT_EQ(send(1, kCardUnit, {0x80, 0xE0, 0x01, 0x00}).size(), 258u);
    // Historical bytes only, then the reset of the whole terminal.
    EXPECT_EQ(send(1, kTerminalUnit, {0x20, 0x11, 0x01, 0x02, 0x00}),
              withSw({0x56, 0x45, 0x58, 0x41, 0x43, 0x41, 0x52, 0x44}, 0x90, 0x01));
    EXPECT_EQ(send(1, kTerminalUnit, {0x20, 0x11, 0x00, 0x00}), withSw({}, 0x90, 0x00));
    EXPECT_EQ(send(1, kTerminalUnit, {0x20, 0x13, 0x00, 0x80, 0x00}), withSw({0x80, 0x01, 0x01}, 0x90, 0x00));
    signed char result = 0;
    send(1, kCardUnit, {0x80, 0xEE, 0x00, 0x00}, result);
    EXPECT_EQ(result, ERR_TRANS); // no powered card
    EXPECT_EQ(close(1), OK);
    EXPECT_EQ(close(1), ERR_CT);
}

TEST_F(CtapiDriverTest, ResetReallyResetsACardLeftPowered) {
    card0.require("atr 3B021450"); // pcscd still holds the ATR of the insertion
    ASSERT_EQ(init(10, 1), OK);
    EXPECT_EQ(send(10, kTerminalUnit, {0x20, 0x11, 0x01, 0x01, 0x00}), withSw({0x3B, 0x02, 0x14, 0x50}, 0x90, 0x01));
    EXPECT_EQ(close(10), OK);
}

TEST_F(CtapiDriverTest, BadArgumentsAndSmallBuffers) {
    ASSERT_EQ(init(2, 2), OK);
    EXPECT_EQ(init(3, 0), ERR_CT);  // no port 0
    EXPECT_EQ(init(3, 99), ERR_CT); // no 99th reader
    signed char result = 0;
    send(9, kTerminalUnit, {0x20, 0x13, 0x00, 0x80}, result);
    EXPECT_EQ(result, ERR_CT); // not open
    send(2, 5, {0x20, 0x13, 0x00, 0x80}, result);
    EXPECT_EQ(result, ERR_INVALID); // no such unit

    std::array<std::uint8_t, 8> command = {0x20, 0x12, 0x01, 0x01, 0x00}, answer{};
    unsigned char dad = kTerminalUnit, sad = kHost;
    unsigned short length = answer.size();
    EXPECT_EQ(data(2, nullptr, &sad, 5, command.data(), &length, answer.data()), ERR_INVALID);
    EXPECT_EQ(data(2, &dad, nullptr, 5, command.data(), &length, answer.data()), ERR_INVALID);
    EXPECT_EQ(data(2, &dad, &sad, 5, nullptr, &length, answer.data()), ERR_INVALID);
    EXPECT_EQ(data(2, &dad, &sad, 5, command.data(), nullptr, answer.data()), ERR_INVALID);
    EXPECT_EQ(data(2, &dad, &sad, 5, command.data(), &length, nullptr), ERR_INVALID);
    EXPECT_EQ(data(2, &dad, &sad, 0, command.data(), &length, answer.data()), ERR_INVALID);
    // The ATR and status word need 15 bytes: nothing is written into 8.
    EXPECT_EQ(data(2, &dad, &sad, 5, command.data(), &length, answer.data()), ERR_MEMORY);
    EXPECT_EQ(length, answer.size());
    EXPECT_EQ(answer, (std::array<std::uint8_t, 8>{}));
    EXPECT_EQ(dad, kTerminalUnit);

    // Malformed and unknown terminal commands are answered, not failed.
    EXPECT_EQ(send(2, kTerminalUnit, {0x20, 0x13}), withSw({}, 0x67, 0x00));
    EXPECT_EQ(send(2, kTerminalUnit, {0x20, 0x13, 0x00, 0x80, 0x05, 0x01}), withSw({}, 0x67, 0x00));
    EXPECT_EQ(send(2, kTerminalUnit, {0x20, 0x7F, 0x00, 0x00}), withSw({}, 0x6D, 0x00));
    EXPECT_EQ(send(2, kTerminalUnit, {0x00, 0xA4, 0x04, 0x00}), withSw({}, 0x6E, 0x00));
    EXPECT_EQ(send(2, kTerminalUnit, {0x20, 0x12, 0x07, 0x01, 0x00}), withSw({}, 0x6A, 0x00));
    EXPECT_EQ(close(2), OK);
}

TEST_F(CtapiDriverTest, RemovedCardIsReportedByStatusAndTransfers) {
    ASSERT_EQ(init(4, 1), OK);
    send(4, kTerminalUnit, {0x20, 0x11, 0x01, 0x01, 0x00});
    removeCard0();
    EXPECT_EQ(send(4, kTerminalUnit, {0x20, 0x13, 0x01, 0x80, 0x00}), withSw({0x80, 0x01, 0x00}, 0x90, 0x00));
    signed char result = 0;
    send(4, kCardUnit, {0x80, 0xEE, 0x00, 0x00}, result);
    EXPECT_EQ(result, ERR_TRANS);
    EXPECT_EQ(send(4, kTerminalUnit, {0x20, 0x11, 0x01, 0x01, 0x00}), withSw({}, 0x64, 0xA1));
    EXPECT_EQ(send(4, kTerminalUnit, {0x20, 0x12, 0x01, 0x01, 0x00}), withSw({}, 0x62, 0x00));
    card0.require("insert");
    // REQUEST ICC waits up to the given 5 seconds for the card.
    EXPECT_EQ(send(4, kTerminalUnit, {0x20, 0x12, 0x01, 0x01, 0x01, 0x05, 0x00}), withSw(kAtr, 0x90, 0x01));
    EXPECT_EQ(send(4, kTerminalUnit, {0x20, 0x15, 0x01, 0x00, 0x01, 0x00}), withSw({}, 0x90, 0x00));
    EXPECT_EQ(close(4), OK);
}

TEST_F(CtapiDriverTest, CtDataWorksAgainAfterTheServiceRestarts) {
    ASSERT_EQ(init(7, 1), OK);
    EXPECT_EQ(send(7, kTerminalUnit, {0x20, 0x12, 0x01, 0x01, 0x00}), withSw(kAtr, 0x90, 0x01));
    ASSERT_NO_FATAL_FAILURE(restartTestbedService("pcscd"));
    // The powered card went with the service, as a pulled card would; the
    // card in the slot is still seen and powers up again.
    signed char result = 0;
    send(7, kCardUnit, {0x80, 0xEE, 0x00, 0x00}, result);
    EXPECT_EQ(result, ERR_TRANS);
    EXPECT_EQ(send(7, kTerminalUnit, {0x20, 0x13, 0x01, 0x80, 0x00}), withSw({0x80, 0x01, 0x01}, 0x90, 0x00));
    EXPECT_EQ(send(7, kTerminalUnit, {0x20, 0x11, 0x01, 0x01, 0x00}), withSw(kAtr, 0x90, 0x01));
    EXPECT_EQ(send(7, kCardUnit, {0x80, 0xEE, 0x00, 0x00, 0x01, 0x5A}), withSw({0x5A}, 0x90, 0x00));
    EXPECT_EQ(close(7), OK);
}

TEST_F(CtapiDriverTest, TerminalsWorkSideBySideFromThreads) {
    ASSERT_EQ(init(5, 1), OK);
    ASSERT_EQ(init(6, 2), OK);
    send(5, kTerminalUnit, {0x20, 0x12, 0x01, 0x00, 0x00});
    send(6, kTerminalUnit, {0x20, 0x12, 0x01, 0x00, 0x00});
    std::array<int, 4> wrong{};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const unsigned short ctn = t % 2 == 0 ? 5 : 6; // two threads per terminal
            for (int i = 0; i < 50; ++i) {
                const auto b = static_cast<std::uint8_t>(t * 50 + i);
                std::vector<std::uint8_t> command = {0x80, 0xEE, 0x00, 0x00, 0x01, b}, answer(16);
                unsigned char dad = kCardUnit, sad = kHost;
                unsigned short length = 16;
                if (data(ctn, &dad, &sad, 6, command.data(), &length, answer.data()) != OK || length != 3 ||
                    answer[0] != b)
                    ++wrong[static_cast<std::size_t>(t)];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, (std::array<int, 4>{}));
    EXPECT_EQ(close(5), OK);
    EXPECT_EQ(close(6), OK);
}

} // namespace
} // namespace vexa::testing
