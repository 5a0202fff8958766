#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_service.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

namespace tinyxml2 { class XMLElement; }

/// One pan-tilt-zoom track camera from a <Camera> element: how it is reached (an outgoing TCP
/// connection or a serial line), its Pelco number, and who holds control of it. All its work
/// runs on the one event loop; it never reads from the camera.
class TrackCamera
{
public:
    /// What construction does with the camera's link.
    enum class Startup
    {
        /// Starts it: resolves and connects a network camera, opens and sets a serial line.
        Connect,
        /// Starts nothing and never touches the device: writes the lines that Connect would
        /// write while building the camera, predicting a serial line's opening from the
        /// device's file status (the configuration checker).
        Predict
    };

    /// Reads the element, chooses the transport and starts it as startup says. Throws
    /// std::out_of_range ("invalid character_size value") only for a serial camera whose
    /// DataBits is not 5 to 8.
    TrackCamera(boost::asio::io_service& ioService, const tinyxml2::XMLElement* element, int32_t retrySecs,
                int32_t lockSecs, Startup startup = Startup::Connect);
    TrackCamera(const TrackCamera&) = delete;
    TrackCamera& operator=(const TrackCamera&) = delete;
    /// Closes the connection or line and cancels every timer; completions still queued on the
    /// event loop afterwards find the camera gone and do nothing.
    ~TrackCamera();

    /// Relays one operator command block unchanged to the camera on behalf of session with
    /// priority; the hold is recorded when the write completes. A block for a camera without an
    /// open connection or line, or beyond the write queue's bound, is dropped without a message.
    void Send(uint16_t session, int32_t priority, const uint8_t* bytes, std::size_t length);

    /// Writes text as one log line unless one of the camera's connection or send errors has been
    /// logged since it last connected.
    void LogOnce(const std::string& text);

    /// True when Port names a serial device rather than a TCP port.
    bool SerialCamera() const { return serialCamera; }
    /// BaudRate as read from the element.
    uint32_t BaudRate() const { return baudRate; }
    /// DataBits as read from the element.
    uint32_t DataBits() const { return dataBits; }
    /// StopBits as read from the element.
    uint32_t StopBits() const { return stopBits; }
    /// Parity as read from the element: its first letter in upper case.
    char Parity() const { return parity; }

    /// The Address attribute; key in CameraMap, empty for a skipped camera.
    std::string address;
    /// The Port attribute: TCP port text or serial device path.
    std::string port = "1000";
    /// The recording server's name for this camera; guarded by the control server's lock.
    std::string nvrCameraName;
    /// The camera's Pelco address, carried in byte 1 of operator frames.
    uint32_t pelcoNumber = 1;
    /// The recording server's id for this camera, 0 while unmatched; guarded by the control server's lock.
    uint32_t nvrCameraId = 0;
    /// The soft trigger the server link found for this camera; guarded by the control server's lock.
    uint32_t softTriggerId = 0;
    /// Session that holds control; 0 = nobody.
    uint16_t holderSession = 0;
    /// Priority of the holding session; -1 = nobody.
    int32_t holderPriority = -1;

    /// Called after every written block with (address, holderSession); installed by the control server.
    std::function<void(const std::string& address, uint16_t holderSession)> notifyControl;
    /// Called when the lock time has run out, with the address; installed by the control server.
    std::function<void(const std::string& address)> clearControl;

    /// Most blocks waiting for one camera, the one being written included; more are dropped.
    static constexpr std::size_t maxQueuedBlocks = 64;

    /// True while the camera can be written to: a network camera's socket is connected, a serial
    /// camera's line is open. Event loop.
    bool IsConnected() const;
    /// True for a camera on a serial line (Port names a device), false for a network camera.
    bool OnSerialLine() const;
    /// Whole seconds, rounded up, until the current hold lapses; 0 while nobody holds the camera.
    /// Event loop.
    int64_t LockSecondsLeft() const;

private:
    /// One operator block on its way to the camera.
    struct Block
    {
        /// The bytes. The pending write of the head block reads them only while its link is
        /// open, and every path that drops the queue closes or replaces the link with it.
        std::vector<uint8_t> bytes;
        /// Session that sent the block; becomes the holder once it is written.
        uint16_t session;
        /// That session's priority.
        int32_t priority;
    };

    /// Starts one asynchronous name resolution of address and port, unless one is already running.
    void StartResolve();
    /// Replaces the socket and connects it to the first endpoint; on failure arms the retry wait.
    void HandleResolve(const boost::system::error_code& error,
                       const boost::asio::ip::tcp::resolver::results_type& endpoints);
    /// Connects the socket to endpoint number next of endpoints.
    void StartConnect(const boost::asio::ip::tcp::resolver::results_type& endpoints, std::size_t next);
    /// Ends one connect attempt of the socket of generation link: connected, next endpoint, or retry wait.
    void HandleConnect(const boost::system::error_code& error, uint64_t link,
                       const boost::asio::ip::tcp::resolver::results_type& endpoints, std::size_t next);
    /// Arms retryTimer for retrySecs seconds; a wait still pending ends as cancelled.
    void StartRetryTimer();
    /// Retry wait over: resolves a network camera again, or opens a serial camera's line again.
    void HandleRetryTimer(const boost::system::error_code& error, uint64_t generation);

    /// Start-up step of a serial camera: opens the line and applies the settings; a device that
    /// cannot be opened is logged and opened again every retrySecs.
    void OpenSerial();
    /// The Predict start-up of a serial camera: logs what OpenSerial would, without opening the
    /// device, and starts no retry.
    void PredictSerial();
    /// Logs a line that did not open and checks the character size, which throws
    /// std::out_of_range outside 5 to 8 whether or not the device is there.
    void ReportUnopenedLine(const boost::system::error_code& error);
    /// Applies line speed, character size, stop bits and parity to the open line, logging the
    /// first failure; throws std::out_of_range for a character size outside 5 to 8.
    void ApplySerialSettings();
    /// Sets line speed, character size, stop bits and parity on line (the serial port, or a
    /// SerialLineCheck) in that order, logging an invalid stop bits or parity value; stops at
    /// the first failure and returns it. Throws std::out_of_range for a character size outside
    /// 5 to 8.
    template <typename Line>
    boost::system::error_code SetLineOptions(Line& line);
    /// Logs the outcome of SetLineOptions: the failure, or that the line is in use.
    void ReportLineOptions(const boost::system::error_code& error);
    /// After a failed write: closes the line and opens it again with the configured settings,
    /// retrying every retrySecs while the device cannot be opened.
    void ReopenSerial();
    /// Opens the line again for ReopenSerial or the retry wait; arms the retry wait on failure.
    void RetryOpenSerial();

    /// Marks the current socket or line as replaced: its pending completions do nothing, and
    /// blocks still waiting for it are dropped.
    void DropLink();
    /// Writes the block at the head of the queue to the socket or the line.
    void StartWrite();
    /// Ends the write of the head block on the link of generation link.
    void HandleWrite(const boost::system::error_code& error, uint64_t link);
    /// Arms lockTimer for lockDeadline.
    void StartLockTimer();
    /// Lock wait over: clears the hold at lockDeadline, or waits on when a newer write has moved it.
    void HandleLockTimer(const boost::system::error_code& error);

    /// The event loop every operation of the camera runs on.
    boost::asio::io_service& ioService;
    /// Alive as long as the camera; completions hold a weak reference and do nothing once it is gone.
    std::shared_ptr<char> life;
    /// Socket to a network camera; replaced by a fresh one on each successful resolution.
    std::unique_ptr<boost::asio::ip::tcp::socket> socket;
    /// Resolves address and port, IPv4 only, on the event-loop library's background thread.
    boost::asio::ip::tcp::resolver resolver;
    /// True while a resolution is running, so that a second one is not started beside it.
    bool resolving = false;
    /// True once "*** Unable to resolve path to camera at " has been written since the camera last connected.
    bool resolveErrorLogged = false;
    /// True when Port names a serial device rather than a TCP port.
    bool serialCamera = false;
    /// True while the serial line is open.
    bool isSerial = false;
    /// The serial line of a serial camera.
    boost::asio::serial_port serialPort;
    /// True once "Error opening serial port " has been written for the current outage of the line.
    bool reopenErrorLogged = false;
    /// BaudRate: line speed.
    uint32_t baudRate = 2400;
    /// DataBits: character size.
    uint32_t dataBits = 8;
    /// StopBits: 1 or 2.
    uint32_t stopBits = 1;
    /// Parity: 'N', 'O' or 'E' (upper case).
    char parity = 'N';
    /// Blocks waiting for the camera in arrival order; the head one is being written when writing is set.
    std::deque<Block> queue;
    /// True while the head block of queue is being written.
    bool writing = false;
    /// The storage of the last written block, taken by the next one so that a block costs no allocation.
    std::vector<uint8_t> spareBytes;
    /// Counts replacements of the socket or line; completions of an older one do nothing.
    uint64_t linkGeneration = 0;
    /// Reconnect wait, and the reopen wait of a serial line.
    boost::asio::steady_timer retryTimer;
    /// Counts arms and cancellations of retryTimer; a completion queued before the latest one does nothing.
    uint64_t retryGeneration = 0;
    /// Reconnect wait in seconds: RetryIntervalSecs.
    int32_t retrySecs;
    /// Set by the first LogOnce line; cleared when the camera connects or its line opens.
    bool errorLogged = false;
    /// Control lock time in seconds: LockTime.
    int32_t lockSecs;
    /// Ends the hold at lockDeadline; armed while a hold runs, not re-armed for every block.
    boost::asio::steady_timer lockTimer;
    /// When the hold ends: lockSecs after the last written block.
    std::chrono::steady_clock::time_point lockDeadline;
    /// True while a wait of lockTimer is pending.
    bool lockWaiting = false;
};
