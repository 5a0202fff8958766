#pragma once

#include <cstdint>
#include <string>
#include <vector>

/// A set of simulated track cameras served from one poll loop. A network camera accepts the
/// daemon's connection on address:port; a serial camera is a pseudo-terminal whose device path
/// is published through a symbolic link. Nothing is ever written back: track cameras are
/// write-only for the daemon.
class CameraSimulator
{
public:
    CameraSimulator() = default;
    CameraSimulator(const CameraSimulator&) = delete;
    CameraSimulator& operator=(const CameraSimulator&) = delete;
    ~CameraSimulator();

    /// Listens on address:port (numeric IPv4); throws std::runtime_error on failure.
    void AddNetworkCamera(const std::string& name, const std::string& address, uint16_t port);
    /// Opens a pseudo-terminal and points link at its device; throws std::runtime_error on failure.
    void AddSerialCamera(const std::string& name, const std::string& link);
    /// Serves the cameras until the process is ended.
    void Run();

    /// Describes one received block: hex bytes, then the Pelco-D command when it is one.
    static std::string Describe(const uint8_t* bytes, std::size_t length);

private:
    /// One simulated camera and its descriptors.
    struct Camera
    {
        /// Printed with every block.
        std::string name;
        /// Listening socket of a network camera; -1 for a serial camera.
        int listener = -1;
        /// The daemon's connection, or the pseudo-terminal's master side; -1 when none.
        int stream = -1;
        /// The published link of a serial camera.
        std::string link;
    };

    /// Accepts or reads whatever is ready on camera.
    void Serve(Camera& camera, int readyFd);

    /// The cameras in the order they were added.
    std::vector<Camera> cameras;
};
