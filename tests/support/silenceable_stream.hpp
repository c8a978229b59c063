#pragma once
// A TCP stream for the loopback realtime server that can stop answering, as a network that drops
// the service's packets does: while silenced, whatever the server writes vanishes (it counts as
// written, and nothing leaves), while what the client sends is still read.

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket/teardown.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>

namespace support {

class SilenceableStream {
public:
    using executor_type = boost::beast::tcp_stream::executor_type;

    SilenceableStream(boost::beast::tcp_stream stream, std::shared_ptr<const std::atomic<bool>> silenced)
        : next_(std::move(stream)), silenced_(std::move(silenced)) {}

    executor_type get_executor() noexcept { return next_.get_executor(); }
    boost::beast::tcp_stream& next_layer() noexcept { return next_; }
    const boost::beast::tcp_stream& next_layer() const noexcept { return next_; }

    template <class Buffers, class Token>
    auto async_read_some(const Buffers& buffers, Token&& token) {
        return next_.async_read_some(buffers, std::forward<Token>(token));
    }

    template <class Buffers, class Token>
    auto async_write_some(const Buffers& buffers, Token&& token) {
        return boost::asio::async_initiate<Token, void(boost::system::error_code, std::size_t)>(
            [this](auto handler, const Buffers& buffers) {
                if (!silenced_->load()) {
                    next_.async_write_some(buffers, std::move(handler));
                    return;
                }
                const auto size = boost::beast::buffer_bytes(buffers);
                auto executor = boost::asio::get_associated_executor(handler, next_.get_executor());
                boost::asio::post(executor, [handler = std::move(handler), size]() mutable {
                    std::move(handler)(boost::system::error_code{}, size);
                });
            },
            token, buffers);
    }

private:
    boost::beast::tcp_stream next_;
    std::shared_ptr<const std::atomic<bool>> silenced_;
};

// The closing handshake's end, as for the plain socket underneath.
inline void teardown(boost::beast::role_type role, SilenceableStream& stream, boost::system::error_code& ec) {
    boost::beast::websocket::teardown(role, stream.next_layer().socket(), ec);
}

template <class Handler>
void async_teardown(boost::beast::role_type role, SilenceableStream& stream, Handler&& handler) {
    boost::beast::websocket::async_teardown(role, stream.next_layer().socket(), std::forward<Handler>(handler));
}

}  // namespace support
