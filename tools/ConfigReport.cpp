#include "ConfigReport.h"

#include <cerrno>

#include <boost/asio/ip/address.hpp>

#include "ConfigCheck.h"
#include "camera/SerialLineCheck.h"
#include "camera/TrackCamera.h"
#include "nvr/CameraDirectory.h"
#include "nvr/NVRConnection.h"

ConfigReport::ConfigReport(const ConfigCheck& check, std::ostream& out) : check(check), out(out)
{
}

void ConfigReport::PrintSummary()
{
    out << "\nSummary:\n";
    out << "  operators connect to " << ClientAddress << " port " << ClientPort << "\n";
    for (const auto& entry : check.users)
        out << "  user '" << entry.second->Name << "', priority " << entry.second->Priority << "\n";
    for (const auto& entry : check.nvrs)
        out << "  recording server " << entry.second->address << " port " << entry.second->port << ", login '"
            << entry.second->login << "'\n";
    for (const auto& entry : check.cameras)
    {
        const TrackCamera& camera = *entry.second;
        out << "  camera " << camera.address << ", PelcoNumber " << camera.pelcoNumber;
        if (camera.SerialCamera())
            out << ", serial line " << camera.port << " at " << camera.BaudRate() << " baud, " << camera.DataBits()
                << " data bits, " << camera.StopBits() << " stop bits, parity " << camera.Parity() << "\n";
        else
            out << ", network, TCP port " << camera.port << "\n";
    }
}

void ConfigReport::PrintWarnings()
{
    WarnAboutOptionsAndUsers();
    WarnAboutServersAndCameras();
}

void ConfigReport::WarnAboutOptionsAndUsers()
{
    if (check.load.retryIntervalSecs == 0)
        out << "Warning: RetryIntervalSecs is 0: cameras and recording servers that fail are retried in a tight loop\n";

    boost::system::error_code notNumeric;
    const boost::asio::ip::address listening = boost::asio::ip::address::from_string(ClientAddress, notNumeric);
    if (!notNumeric && !listening.is_loopback())
        out << "Warning: ClientAddress " << ClientAddress
            << " is not a loopback address: operators' passwords cross the network in clear text\n";

    for (const auto& entry : check.users)
    {
        const User& user = *entry.second;
        if (user.Name.find(' ') != std::string::npos)
            out << "Warning: user '" << user.Name
                << "' has a blank in its Name: LOGIN ends the name at the first blank, so this user can never log in\n";
        if (user.Password.empty())
            out << "Warning: user '" << user.Name << "' has an empty Password: any password opens this account\n";
    }
}

void ConfigReport::WarnAboutServersAndCameras()
{
    for (const NVRConnection* connection : check.load.repeatedServers)
        out << "Warning: another <NVR> has Address " << connection->address
            << ": the daemon connects only with the first one's settings\n";

    for (const auto& entry : check.cameras)
    {
        const TrackCamera& camera = *entry.second;
        if (!CameraDirectory::CanMatch(camera.address))
            out << "Warning: camera " << camera.address
                << " can never match a recording server's camera: only a dotted IPv4 address or an analog camera "
                   "id does\n";
        if (!camera.SerialCamera())
            continue;
        const int reason = SerialLineCheck(camera.port).PredictOpen().value();
        if (reason == ENOENT || reason == ENOTDIR)
            out << "Warning: serial device " << camera.port << " of camera " << camera.address << " does not exist\n";
        else if (reason == ENOTTY || reason == EISDIR || reason == ENXIO)
            out << "Warning: serial device " << camera.port << " of camera " << camera.address
                << " is not a character device\n";
    }

    for (const TrackCamera* camera : check.load.repeatedCameras)
        out << "Warning: another camera has Address " << camera->address << ": only the first one is used, PelcoNumber "
            << camera->pelcoNumber << " never is\n";
}
