#include "PelcoFrame.h"

std::vector<uint8_t> PelcoFrame::Make(uint8_t address, uint8_t command1, uint8_t command2, uint8_t panSpeed,
                                      uint8_t tiltSpeed)
{
    std::vector<uint8_t> frame = {0xFF, address, command1, command2, panSpeed, tiltSpeed, 0};
    frame[6] = static_cast<uint8_t>(frame[1] + frame[2] + frame[3] + frame[4] + frame[5]);
    return frame;
}

std::vector<uint8_t> PelcoFrame::Move(uint8_t address, uint8_t motion, unsigned speed)
{
    const uint8_t value = static_cast<uint8_t>(speed > kMaxSpeed ? kMaxSpeed : speed);
    return Make(address, 0, motion, (motion & (kLeft | kRight)) ? value : 0, (motion & (kUp | kDown)) ? value : 0);
}

std::vector<uint8_t> PelcoFrame::Stop(uint8_t address)
{
    return Make(address, 0, 0, 0, 0);
}
