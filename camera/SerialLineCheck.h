#pragma once

#include <termios.h>

#include <string>

#include <boost/system/error_code.hpp>

/// Stands in for a serial camera's line where the line must be left alone (a daemon may be
/// driving it, and opening it would reset its settings): predicts what opening the device would
/// report, and takes the line settings the way the serial port does, checking each one against
/// a termios record of its own instead of the device.
class SerialLineCheck
{
public:
    /// A check of the device at port; a relative path is taken from the running directory, where
    /// the daemon works. Touches nothing yet.
    explicit SerialLineCheck(const std::string& port);

    /// What opening the device as a serial line would report, found from its file status alone:
    /// the system's error for a path that cannot be reached, "is a directory" for a directory,
    /// "not a terminal" for anything else but a character device. A character device is taken
    /// to open: whether the daemon's user may open it, whether it is a terminal and whether its
    /// hardware answers, only opening it would tell.
    boost::system::error_code PredictOpen() const;

    /// Stores option in the record as the serial port would before handing it to the device;
    /// error is set where the port's own setting would fail (a speed the platform lacks).
    template <typename Option>
    void set_option(const Option& option, boost::system::error_code& error)
    {
        option.store(settings, error);
    }

private:
    /// The device path, from the running directory when port was relative.
    std::string path;
    /// Where the settings go instead of the device.
    termios settings{};
};
