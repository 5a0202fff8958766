#include "camera/TrackCamera.h"

#include <cctype>
#include <chrono>
#include <iterator>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>
#include <tinyxml2.h>

#include "base/ConfigValue.h"
#include "base/HandlerPool.h"
#include "base/LogStream.h"

using boost::asio::ip::tcp;

TrackCamera::TrackCamera(boost::asio::io_service& ioService, const tinyxml2::XMLElement* element, int32_t retrySecs,
                         int32_t lockSecs, Startup startup)
    : ioService(ioService),
      life(std::make_shared<char>(0)),
      resolver(ioService),
      serialPort(ioService),
      retryTimer(ioService),
      retrySecs(retrySecs),
      lockSecs(lockSecs),
      lockTimer(ioService)
{
    const char* text = element != nullptr ? element->Attribute("Address") : nullptr;
    if (text == nullptr || *text == '\0')
    {
        gLog.BeginLine() << "Missing or empty 'Address' attribute for <Camera> entry in zoTolvex.xml file. Skipping.";
        return;
    }
    address = text;
    ReadUnsignedAttribute(*element, "PelcoNumber", pelcoNumber);
    const char* portText = element->Attribute("Port");
    if (portText != nullptr && *portText != '\0')
        port = portText;

    if (port[0] >= '0' && port[0] <= '9')
    {
        gLog.BeginLine() << "Connecting to track camera at " << address << ":" << port;
        if (startup == Startup::Connect)
            StartResolve();
        return;
    }

    serialCamera = true;
    ReadUnsignedAttribute(*element, "BaudRate", baudRate);
    ReadUnsignedAttribute(*element, "DataBits", dataBits);
    ReadUnsignedAttribute(*element, "StopBits", stopBits);
    const char* parityText = element->Attribute("Parity");
    if (parityText != nullptr && *parityText != '\0')
        parity = static_cast<char>(std::toupper(static_cast<unsigned char>(parityText[0])));
    if (startup == Startup::Connect)
        OpenSerial();
    else
        PredictSerial();
}

TrackCamera::~TrackCamera()
{
    // Completions already queued, and those that the closing below queues, must find the camera
    // gone before they look at it.
    life.reset();
    boost::system::error_code ignored;
    if (socket)
    {
        socket->shutdown(tcp::socket::shutdown_both, ignored);
        socket->close(ignored);
    }
    serialPort.close(ignored);
    resolver.cancel();
    retryTimer.cancel();
    lockTimer.cancel();
}

void TrackCamera::LogOnce(const std::string& text)
{
    if (errorLogged)
        return;
    gLog.BeginLine() << text;
    errorLogged = true;
}

void TrackCamera::Send(uint16_t session, int32_t priority, const uint8_t* bytes, std::size_t length)
{
    const bool open = serialCamera ? isSerial : (socket && socket->is_open());
    // A stalled camera must not make the daemon's memory grow: beyond the bound a block goes the
    // way of a block for a camera that is not connected.
    if (!open || queue.size() >= maxQueuedBlocks)
        return;
    spareBytes.assign(bytes, bytes + length);
    queue.push_back(Block{std::move(spareBytes), session, priority});
    spareBytes.clear();
    if (!writing)
        StartWrite();
}

void TrackCamera::StartWrite()
{
    writing = true;
    // The head block stays in place until its completion: the deque keeps it where it is while
    // others are added behind it.
    const boost::asio::const_buffer bytes = boost::asio::buffer(queue.front().bytes);
    std::weak_ptr<char> alive = life;
    const uint64_t link = linkGeneration;
    auto handler = HandlerPool::Wrap([this, alive, link](const boost::system::error_code& error, std::size_t) {
        if (!alive.expired())
            HandleWrite(error, link);
    });
    if (serialCamera)
        boost::asio::async_write(serialPort, bytes, handler);
    else
        boost::asio::async_write(*socket, bytes, handler);
}

void TrackCamera::HandleWrite(const boost::system::error_code& error, uint64_t link)
{
    // The socket or line this write went to has been replaced; the queue was dropped with it.
    if (link != linkGeneration)
        return;
    writing = false;

    if (error)
    {
        // The block is not resent, nor are the ones behind it: one recovery for the whole queue.
        // The hold stays as it is.
        queue.clear();
        if (serialCamera)
        {
            LogOnce("Error sending command to serial port " + port + ": " + error.message());
            ReopenSerial();
        }
        else
        {
            LogOnce("Error sending command to " + address + ": " + error.message());
            StartResolve();
        }
        return;
    }

    // The holder is recorded only when the bytes are out, so a refused write leaves the hold alone.
    Block& block = queue.front();
    holderSession = block.session;
    holderPriority = block.priority;
    spareBytes = std::move(block.bytes);
    queue.pop_front();
    // The hold now ends lockSecs after this write. A wait already running is left alone and, when
    // it expires, waits on for the rest: re-arming the timer for every command would cost a
    // cancellation, its completion and the timer queue's work each time.
    lockDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(lockSecs);
    if (notifyControl)
        notifyControl(address, holderSession);
    if (!lockWaiting)
        StartLockTimer();

    if (!queue.empty() && !writing)
        StartWrite();
}

void TrackCamera::StartLockTimer()
{
    lockWaiting = true;
    lockTimer.expires_at(lockDeadline);
    std::weak_ptr<char> alive = life;
    lockTimer.async_wait([this, alive](const boost::system::error_code& error) {
        if (!alive.expired())
            HandleLockTimer(error);
    });
}

void TrackCamera::HandleLockTimer(const boost::system::error_code& error)
{
    lockWaiting = false;
    if (error)
        return;
    // A write since the wait was armed has moved the end on: wait for the rest.
    if (std::chrono::steady_clock::now() < lockDeadline)
    {
        StartLockTimer();
        return;
    }
    holderSession = 0;
    holderPriority = -1;
    if (clearControl)
        clearControl(address);
}

void TrackCamera::DropLink()
{
    ++linkGeneration;
    queue.clear();
    writing = false;
}

void TrackCamera::StartResolve()
{
    // A resolution already running will replace the socket; a second one would only race it.
    if (resolving)
        return;
    resolving = true;
    tcp::resolver::query query(tcp::v4(), address, port, tcp::resolver::query::address_configured);
    std::weak_ptr<char> alive = life;
    resolver.async_resolve(query, [this, alive](const boost::system::error_code& error,
                                                const tcp::resolver::results_type& endpoints) {
        if (!alive.expired())
            HandleResolve(error, endpoints);
    });
}

void TrackCamera::HandleResolve(const boost::system::error_code& error, const tcp::resolver::results_type& endpoints)
{
    resolving = false;
    if (error == boost::asio::error::operation_aborted)
        return;
    if (error || endpoints.empty())
    {
        // A name server that is down at boot must not lose the camera for good: try again later,
        // and say so once per outage.
        if (error && !resolveErrorLogged)
        {
            gLog.BeginLine() << "*** Unable to resolve path to camera at " << address << ":" << port << ": "
                             << error.message();
            resolveErrorLogged = true;
        }
        StartRetryTimer();
        return;
    }

    // The old socket's pending connect and write end as cancelled and belong to a link that is
    // no longer current, so they leave the new socket alone.
    DropLink();
    socket.reset(new tcp::socket(ioService));
    StartConnect(endpoints, 0);
}

void TrackCamera::StartConnect(const tcp::resolver::results_type& endpoints, std::size_t next)
{
    auto endpoint = endpoints.begin();
    std::advance(endpoint, static_cast<std::ptrdiff_t>(next));
    const uint64_t link = linkGeneration;
    std::weak_ptr<char> alive = life;
    socket->async_connect(endpoint->endpoint(), [this, alive, link, endpoints, next](const boost::system::error_code& error) {
        if (!alive.expired())
            HandleConnect(error, link, endpoints, next + 1);
    });
}

void TrackCamera::HandleConnect(const boost::system::error_code& error, uint64_t link,
                                const tcp::resolver::results_type& endpoints, std::size_t next)
{
    if (link != linkGeneration || error == boost::asio::error::operation_aborted)
        return;

    if (!error)
    {
        if (socket && socket->is_open())
        {
            ++retryGeneration;
            retryTimer.cancel();
            // Each outage of the camera is reported once, not only the first in the service's life.
            errorLogged = false;
            resolveErrorLogged = false;
        }
        return;
    }

    if (next < endpoints.size())
    {
        boost::system::error_code ignored;
        socket->close(ignored);
        DropLink();
        StartConnect(endpoints, next);
        return;
    }

    // The socket stays open and unconnected: a block written to it now fails and reconnects at once.
    LogOnce("*** Connection error for track camera at " + address + " on port " + port + ": " + error.message());
    StartRetryTimer();
}

void TrackCamera::StartRetryTimer()
{
    // Re-arming ends a wait still pending as cancelled.
    retryTimer.expires_after(std::chrono::seconds(retrySecs));
    const uint64_t generation = ++retryGeneration;
    std::weak_ptr<char> alive = life;
    retryTimer.async_wait([this, alive, generation](const boost::system::error_code& error) {
        if (!alive.expired())
            HandleRetryTimer(error, generation);
    });
}

void TrackCamera::HandleRetryTimer(const boost::system::error_code& error, uint64_t generation)
{
    if (error == boost::asio::error::operation_aborted)
    {
        gLog.BeginLine() << "Camera connection retry timer aborted";
        return;
    }
    // An expiry that was already queued when the wait was cancelled or re-armed would start a
    // second chain beside the one now running.
    if (error || generation != retryGeneration)
        return;

    if (serialCamera)
    {
        if (!isSerial)
            RetryOpenSerial();
        return;
    }
    LogOnce("*** Reconnecting to camera at " + address + ":" + port);
    StartResolve();
}
