// The serial transport of a track camera: the line's settings, opening it, predicting its
// opening for the configuration checker, and reopening it after a failed write.

#include "camera/TrackCamera.h"

#include <boost/asio/error.hpp>

#include "base/LogStream.h"
#include "camera/SerialLineCheck.h"

using boost::asio::serial_port_base;

template <typename Line>
boost::system::error_code TrackCamera::SetLineOptions(Line& line)
{
    boost::system::error_code error;
    line.set_option(serial_port_base::baud_rate(baudRate), error);
    if (!error)
        line.set_option(serial_port_base::character_size(dataBits), error);
    if (!error)
    {
        serial_port_base::stop_bits::type stop = serial_port_base::stop_bits::one;
        if (stopBits == 2)
            stop = serial_port_base::stop_bits::two;
        else if (stopBits != 1)
            gLog.BeginLine() << "Invalid StopBits value for camera at " << address << ":" << port
                             << ". Defaulting to " << "1";
        line.set_option(serial_port_base::stop_bits(stop), error);
    }
    if (!error)
    {
        serial_port_base::parity::type kind = serial_port_base::parity::none;
        if (parity == 'O')
            kind = serial_port_base::parity::odd;
        else if (parity == 'E')
            kind = serial_port_base::parity::even;
        else if (parity != 'N')
            gLog.BeginLine() << "Invalid Parity value for camera at " << address << ":" << port
                             << ". Defaulting to " << "N";
        line.set_option(serial_port_base::parity(kind), error);
    }
    return error;
}

void TrackCamera::OpenSerial()
{
    boost::system::error_code error;
    serialPort.open(port, error);
    if (!error)
    {
        isSerial = true;
        ApplySerialSettings();
        return;
    }

    // The line written now stands for the whole outage; the quiet retries end when the adapter appears.
    reopenErrorLogged = true;
    ReportUnopenedLine(error);
    StartRetryTimer();
}

void TrackCamera::PredictSerial()
{
    SerialLineCheck line(port);
    const boost::system::error_code error = line.PredictOpen();
    if (error)
    {
        ReportUnopenedLine(error);
        return;
    }
    ReportLineOptions(SetLineOptions(line));
}

void TrackCamera::ReportUnopenedLine(const boost::system::error_code& error)
{
    gLog.BeginLine() << "Error connecting to track camera on serial port " << port << ":" << error.message();
    // A character size the line could never take is a configuration fault: report it at
    // start-up, as for a device that is present, rather than when the device appears.
    serial_port_base::character_size check(dataBits);
    (void)check;
}

void TrackCamera::ApplySerialSettings()
{
    ReportLineOptions(SetLineOptions(serialPort));
}

void TrackCamera::ReportLineOptions(const boost::system::error_code& error)
{
    // A setting the line refuses is a configuration fault, not an outage: the line is used with
    // the settings applied so far and nothing retries it.
    if (error)
    {
        gLog.BeginLine() << "Error connecting to track camera on serial port " << port << ":" << error.message();
        return;
    }
    gLog.BeginLine() << "Connecting to analog track camera on serial port " << port;
}

void TrackCamera::ReopenSerial()
{
    DropLink();
    boost::system::error_code ignored;
    serialPort.close(ignored);
    isSerial = false;
    reopenErrorLogged = false;
    RetryOpenSerial();
}

void TrackCamera::RetryOpenSerial()
{
    boost::system::error_code error;
    serialPort.open(port, error);
    if (error)
    {
        if (!reopenErrorLogged)
        {
            gLog.BeginLine() << "Error opening serial port " << port << ": " << error.message();
            reopenErrorLogged = true;
        }
        StartRetryTimer();
        return;
    }
    isSerial = true;
    errorLogged = false;
    reopenErrorLogged = false;
    ApplySerialSettings();
}
