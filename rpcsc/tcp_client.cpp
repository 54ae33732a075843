#include "rpcsc/tcp_client.h"

#include "rpcsc/tcp_stream.h"

namespace vexa {

std::atomic<int> TcpClient::live_{0};

TcpClient::TcpClient() : TcpClient(TcpStream::connect) {}

TcpClient::TcpClient(StreamConnector connector) : connector_(std::move(connector)) {
    ++live_;
}

TcpClient::TcpClient(const TcpClient& other) : timeoutMs_(other.timeoutMs_), connector_(other.connector_) {
    ++live_;
}

TcpClient& TcpClient::operator=(const TcpClient& other) {
    if (this != &other) {
        channel_.close();
        timeoutMs_ = other.timeoutMs_;
        connector_ = other.connector_;
    }
    return *this;
}

TcpClient::~TcpClient() {
    --live_;
}

std::int32_t TcpClient::connect(std::string_view host, std::uint16_t port) {
    channel_.close();
    std::unique_ptr<ByteStream> stream;
    const std::int32_t result = connector_(host, port, timeoutMs_, stream);
    if (result == 0) channel_ = LineChannel(std::move(stream));
    return result;
}

} // namespace vexa
