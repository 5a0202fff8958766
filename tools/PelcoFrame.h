#pragma once

#include <cstdint>
#include <vector>

/// Builds Pelco-D frames: sync byte 0xFF, camera address, command 1, command 2, pan speed, tilt
/// speed, and a checksum that is the sum of bytes 1 to 5, modulo 256.
class PelcoFrame
{
public:
    /// Command 2 bits of the pan, tilt and zoom commands.
    static constexpr uint8_t kRight = 0x02;
    /// Pan left.
    static constexpr uint8_t kLeft = 0x04;
    /// Tilt up.
    static constexpr uint8_t kUp = 0x08;
    /// Tilt down.
    static constexpr uint8_t kDown = 0x10;
    /// Zoom in (tele).
    static constexpr uint8_t kZoomIn = 0x20;
    /// Zoom out (wide).
    static constexpr uint8_t kZoomOut = 0x40;
    /// The highest pan and tilt speed (0x40, "turbo", is left out on purpose).
    static constexpr unsigned kMaxSpeed = 63;

    /// A frame with these bytes and its checksum.
    static std::vector<uint8_t> Make(uint8_t address, uint8_t command1, uint8_t command2, uint8_t panSpeed,
                                     uint8_t tiltSpeed);
    /// A move for the command 2 bits in motion: the pan bits take speed as pan speed, the tilt bits
    /// as tilt speed; zoom bits carry no speed. speed is cut to kMaxSpeed.
    static std::vector<uint8_t> Move(uint8_t address, uint8_t motion, unsigned speed);
    /// The stop frame: every command bit clear.
    static std::vector<uint8_t> Stop(uint8_t address);
};
