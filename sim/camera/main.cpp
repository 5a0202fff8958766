// zocam-sim: simulated track cameras.
//   zocam-sim NAME=tcp:ADDRESS:PORT ... NAME=serial:LINKPATH ...
// e.g. zocam-sim dome=tcp:127.0.0.5:4001 mast=serial:/tmp/zocam-mast

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>

#include "CameraSimulator.h"

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::cerr << "usage: zocam-sim NAME=tcp:ADDRESS:PORT | NAME=serial:LINKPATH ...\n";
        return 2;
    }
    try
    {
        CameraSimulator simulator;
        for (int i = 1; i < argc; ++i)
        {
            const std::string argument = argv[i];
            const std::size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            const std::string where = equals == std::string::npos ? "" : argument.substr(equals + 1);
            if (where.rfind("tcp:", 0) == 0)
            {
                const std::size_t colon = where.rfind(':');
                simulator.AddNetworkCamera(name, where.substr(4, colon - 4),
                                           static_cast<uint16_t>(std::strtoul(where.c_str() + colon + 1, nullptr, 10)));
            }
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
