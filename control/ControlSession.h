#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>

class ControlServer;

/// One TolvexControl operator connection: sends the client its session number, reads one
/// message per read (LOGIN, CHOOSE, CANCEL or a Pelco frame) and writes the server's messages
/// back. Owned by the completions pending on it; it ends when its connection fails.
///
/// The fields below and every use of the socket are guarded by the server's lock.
class ControlSession : public std::enable_shared_from_this<ControlSession>
{
public:
    /// Bytes that may wait for one client; a client that lets more pile up is cut off.
    static constexpr std::size_t kMaxQueuedBytes = 256 * 1024;

    /// A session not yet connected: number 0, no user, priority 0.
    ControlSession(boost::asio::io_service& ioService, ControlServer& server);
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    /// The socket the server accepts into.
    boost::asio::ip::tcp::socket& Socket();
    /// Learns the peer's address and number, sends "SESSION <number>" and returns the number;
    /// returns 0 (no session) when the peer has already gone, leaving the session unstarted.
    uint16_t Start();
    /// Queues text to be written whole, after everything queued before it. Beyond
    /// kMaxQueuedBytes the session is dropped instead; an ended session ignores it.
    void Send(const std::string& text);
    /// Send for a text that several sessions are sent, or the same one again and again: it is
    /// queued without a copy and must not change.
    void Send(const std::shared_ptr<const std::string>& text);

    /// The session number: the client's TCP source port; 0 until started.
    uint16_t Number = 0;
    /// The name of the last accepted LOGIN; empty before.
    std::string UserName;
    /// The priority of that user; 0 before any LOGIN.
    int32_t Priority = 0;
    /// The client's IP address as text.
    std::string PeerAddress;
    /// Address of the camera of the last camera message sent; empty at first. Set only by the server.
    std::string SelectedCamera;

    /// Bytes of messages waiting to be written to the client, the one in flight included.
    std::size_t QueuedBytes() const;

private:
    /// One outgoing message.
    struct Outgoing
    {
        /// The bytes, kept until their write has completed; possibly shared with other sessions.
        std::shared_ptr<const std::string> text;
        /// True for "SESSION", "OK" and "FAILURE": their completion starts the next read.
        bool reply;
    };

    /// Queues a reply; the next read starts once it has been sent.
    void Reply(const std::string& text);
    /// Appends to the write queue and starts writing if nothing was in flight.
    void Queue(const std::shared_ptr<const std::string>& text, bool reply);
    /// Writes the message at the front of the queue.
    void StartWrite();
    /// Pops the written message; after a reply starts the next read, and writes the next message.
    void HandleWrite(const boost::system::error_code& error);
    /// Clears the receive buffer and starts one read of at most its size.
    void StartRead();
    /// Carries out one message from the client.
    void HandleRead(const boost::system::error_code& error, std::size_t length);
    /// LOGIN: checks the name and password that follow the keyword and replies.
    void HandleLogin(std::size_t length);
    /// A Pelco frame: routes the whole message to the camera named by byte 1.
    void HandlePelco(std::size_t length);
    /// Closes the socket and leaves the registry; the storage goes with the last completion.
    void End();

    /// The client connection; no option is set on it.
    boost::asio::ip::tcp::socket socket;
    /// The server that created this session.
    ControlServer& server;
    /// Holds one received message; zero beyond it.
    std::array<uint8_t, 1024> buffer{};
    /// Length of the message in buffer; the bytes beyond it are zero.
    std::size_t received = 0;
    /// Messages waiting to be written; the front one is in flight.
    std::deque<Outgoing> outgoing;
    /// Bytes in outgoing.
    std::size_t queuedBytes = 0;
    /// Set once the session has ended; from then on nothing is sent or read.
    bool ended = false;
};
