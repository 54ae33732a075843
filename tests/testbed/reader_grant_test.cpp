// The server's PC/SC session for a client granted only some readers, on the
// test bed's pcscd: the others are nowhere to be seen or reached.
#include "pcsc/pcsc_api.h"

#include <string>
#include <vector>

#include "pcsc/pcsc_call.h"
#include "rpcsc/rpcsc_request.h"
#include "server/rpcsc_pcsc_session.h"
#include "testbed_fixture.h"

namespace vexa::testing {
namespace {

using rpcsc::PcscSession;
using rpcsc::ReaderGrant;
using rpcsc::Request;

class ReaderGrantTest : public TestBedTest {
protected:
    // The answer read back.
    static wire::Reader ask(PcscSession& session, const Request& request) {
        wire::Reader answer;
        EXPECT_EQ(answer.parse(session.handle(request).bytes()), wire::ParseError::none);
        return answer;
    }
    static std::int32_t result(const wire::Reader& answer) {
        return static_cast<std::int32_t>(answer.intOr(wire::TAG_RESULT, 1));
    }
    static Request make(std::uint8_t op, std::uint64_t context = 0) {
        Request request;
        request.op = op;
        request.context = context;
        return request;
    }
    static std::uint64_t establish(PcscSession& session) {
        Request request = make(wire::OP_ESTABLISH_CONTEXT);
        request.scope = SCARD_SCOPE_SYSTEM;
        const wire::Reader answer = ask(session, request);
        EXPECT_EQ(result(answer), 0);
        return answer.handleOr(wire::TAG_CONTEXT, 0);
    }
    static std::vector<std::string> listed(PcscSession& session, std::uint64_t context, std::int32_t& code) {
        const wire::Reader answer = ask(session, make(wire::OP_LIST_READERS, context));
        code = result(answer);
        std::vector<std::string> names;
        for (const wire::Element& e : answer.elements())
            if (e.tag == wire::TAG_READER_LISTED) names.push_back(e.asText());
        return names;
    }
    static std::int32_t connect(PcscSession& session, std::uint64_t context, const std::string& reader) {
        Request request = make(wire::OP_CONNECT, context);
        request.reader = reader;
        request.shareMode = SCARD_SHARE_SHARED;
        request.protocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        return result(ask(session, request));
    }
    static std::int32_t statusChange(PcscSession& session, std::uint64_t context,
                                     const std::vector<std::string>& readers) {
        Request request = make(wire::OP_GET_STATUS_CHANGE, context);
        for (const std::string& reader : readers) request.states.push_back(rpcsc::RequestedState{reader, 0, 0});
        return result(ask(session, request));
    }
};

TEST_F(ReaderGrantTest, AGrantedClientSeesAndReachesOnlyItsReaders) {
    const std::string notification = "\\\\?PnP?\\Notification";
    const std::int32_t unknown = pcsc::code(SCARD_E_UNKNOWN_READER);
    for (const ReaderGrant& grant : {ReaderGrant::only({kReader1}), ReaderGrant::only({"Virtual PCD 00 01*"})}) {
        SCOPED_TRACE(grant.text());
        PcscSession session(grant);
        const std::uint64_t context = establish(session);
        std::int32_t code = 1;
        EXPECT_EQ(listed(session, context, code), std::vector<std::string>{kReader1});
        EXPECT_EQ(code, 0);
        EXPECT_EQ(connect(session, context, kReader0), unknown);
        EXPECT_EQ(connect(session, context, kReader1), 0);
        EXPECT_EQ(statusChange(session, context, {kReader1, kReader0}), unknown);
        EXPECT_EQ(statusChange(session, context, {kReader1, notification}), 0);
    }
}

TEST_F(ReaderGrantTest, EveryReaderByDefaultAndNoReaderForAGrantOfNone) {
    PcscSession plain;
    std::uint64_t context = establish(plain);
    std::int32_t code = 1;
    EXPECT_EQ(listed(plain, context, code), (std::vector<std::string>{kReader0, kReader1}));
    EXPECT_EQ(connect(plain, context, kReader0), 0);
    EXPECT_EQ(statusChange(plain, context, {kReader0, kReader1}), 0);

    PcscSession other(ReaderGrant::only({"Another Reader"}));
    context = establish(other);
    EXPECT_TRUE(listed(other, context, code).empty());
    EXPECT_EQ(code, pcsc::code(SCARD_E_NO_READERS_AVAILABLE));
    EXPECT_EQ(connect(other, context, kReader0), pcsc::code(SCARD_E_UNKNOWN_READER));
}

} // namespace
} // namespace vexa::testing
