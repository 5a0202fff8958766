#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "KeyDecoder.h"

/// The keyboard mode of zotolvex-operator: a person at a terminal steers one camera at a time
/// with single keys while a status line shows the camera message and who has control.
///
/// Terminals send no key release, so a key starts a move and space stops it:
///   arrows  pan and tilt at the current speed      [ ]  slower / faster (a move in progress follows)
///   + -     zoom in / out                          space  stop
///   digits, then Enter  the camera (Pelco address) the keys act on; Escape drops the digits
///   c       CHOOSE      x  CANCEL                  q (or Ctrl-C, Ctrl-D)  quit
/// Choosing a camera sends nothing: every frame claims control, so only a key that moves the
/// camera sends one. A camera chosen on the recording server (a "0CAMERA" message) becomes the
/// camera the keys act on.
class KeyboardSession
{
public:
    /// Connects to the daemon at host:port and, when login is not empty, queues "LOGIN login
    /// password". Throws std::runtime_error with the reason when the connection fails.
    KeyboardSession(const std::string& host, uint16_t port, const std::string& login, const std::string& password);
    KeyboardSession(const KeyboardSession&) = delete;
    KeyboardSession& operator=(const KeyboardSession&) = delete;
    ~KeyboardSession();

    /// Reads keys from standard input (in raw mode when it is a terminal) until q, the end of the
    /// input, a termination signal or the end of the connection. The terminal's settings are back
    /// when it returns. Returns the exit status: 0 for q or the end of the input, 1 when the daemon
    /// closed the connection, 128 + n after signal n.
    int Run();

private:
    /// Carries out one key.
    void HandleKey(const KeyEvent& key);
    /// Takes in one read from the daemon.
    void HandleMessages(const std::string& text);
    /// Starts or changes the move on the current camera and sends its frame.
    void StartMove(uint8_t motion);
    /// Queues one protocol message. A frame replaces a frame for the same camera that is still
    /// waiting, since the newer one says what the camera is to do now.
    void Queue(const std::vector<uint8_t>& message);
    /// Writes the oldest waiting message; false when the connection failed.
    bool SendNext();
    /// Milliseconds until the next waiting message may go, or -1 when none waits.
    int SendDelay() const;
    /// Redraws the status line when what it shows has changed.
    void ShowStatus();

    /// The connection to the daemon.
    int socketFd;
    /// Messages waiting to be written, oldest first.
    std::deque<std::vector<uint8_t>> outgoing;
    /// When the last message went: the next waits a little, so the daemon reads each on its own.
    std::chrono::steady_clock::time_point lastSent;
    /// Bytes of an escape sequence split across reads wait here.
    KeyDecoder decoder;
    /// The Pelco address the keys act on.
    uint8_t address = 1;
    /// Position in the speed steps.
    std::size_t speedStep;
    /// The command 2 bits of the move in progress on address; 0 when stopped or not yet moved.
    uint8_t motion = 0;
    /// The digits typed so far for the next address.
    std::string entry;
    /// A word about the last thing that went wrong, cleared by the next key.
    std::string note;
    /// The last camera message, with tabs shown as " | ".
    std::string cameraText;
    /// Who has control: the daemon's text without its colour code; empty when no one has.
    std::string controlText;
    /// True when the session holds control; false when someone else does or no one.
    bool ownControl = false;
    /// The log-in answer or session greeting last received.
    std::string sessionText;
    /// True when standard output is a terminal that takes colours and cursor moves.
    bool fancy;
    /// The status line last shown, to tell when it needs redrawing.
    std::string shown;
    /// Set by q, Ctrl-C and Ctrl-D.
    bool quit = false;
};
