// zocam-sim: simulated track cameras.
//   zocam-sim NAME=tcp:ADDRESS:PORT ... NAME=serial:LINKPATH ...
// e.g. zocam-sim dome=tcp:127.0.0.5:4001 mast=serial:/tmp/zocam-mast

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "CameraSimulator.h"
#include "CommandLine.h"

namespace po = boost::program_options;

int main(int argc, char** argv)
{
    const std::string usage = "zocam-sim NAME=tcp:ADDRESS:PORT | NAME=serial:LINKPATH ...";
    CommandLine commandLine("zocam-sim", usage);
    commandLine.hidden.add_options()("camera", po::value<std::vector<std::string>>(), "a camera");
    commandLine.positional.add("camera", -1);
    po::variables_map values;
    if (const auto status = commandLine.Parse(std::vector<std::string>(argv + 1, argv + argc), values))
    {
        if (*status == 0)
            std::cout << "  NAME=tcp:ADDRESS:PORT   a network camera listening on ADDRESS (numeric IPv4), PORT 1-65535\n"
                         "  NAME=serial:LINKPATH    a serial camera on a pseudo-terminal linked as LINKPATH\n";
        return *status;
    }
    if (!values.count("camera"))
    {
        std::cerr << "usage: " << usage << "\n";
        return 2;
    }
    try
    {
        CameraSimulator simulator;
        for (const std::string& argument : values["camera"].as<std::vector<std::string>>())
        {
            const std::size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            const std::string where = equals == std::string::npos ? "" : argument.substr(equals + 1);
            const std::size_t colon = where.rfind(':');
            uint16_t port = 0;
            if (where.rfind("tcp:", 0) == 0 && colon > 3 &&
                CommandLine::ReadPort(where.substr(colon + 1), false, port))
                simulator.AddNetworkCamera(name, where.substr(4, colon - 4), port);
            else if (where.rfind("serial:", 0) == 0)
                simulator.AddSerialCamera(name, where.substr(7));
            else
            {
                std::cerr << "zocam-sim: cannot read camera '" << argument << "'\n";
                return 2;
            }
        }
        simulator.Run();
    }
    catch (const std::exception& error)
    {
        std::cerr << "zocam-sim: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
