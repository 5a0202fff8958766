// zotolvex-operator: a TolvexControl operator session on the command line.
//   zotolvex-operator [--host ADDRESS] [--port PORT] [--label TEXT]
// Reads commands from standard input (one per line; "help" lists them) and prints the daemon's
// messages as they arrive.

#include <poll.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "OperatorConsole.h"

int main(int argc, char** argv)
{
    std::string host = "127.0.0.1";
    unsigned long port = 55272;
    std::string label;
    for (int i = 1; i + 1 < argc; i += 2)
    {
        if (std::strcmp(argv[i], "--host") == 0)
            host = argv[i + 1];
        else if (std::strcmp(argv[i], "--port") == 0)
            port = std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--label") == 0)
            label = std::string(argv[i + 1]) + " ";
        else
        {
            std::cerr << "usage: zotolvex-operator [--host ADDRESS] [--port PORT] [--label TEXT]\n"
                      << OperatorConsole::Help();
            return 2;
        }
    }
    try
    {
        OperatorConsole console(host, static_cast<uint16_t>(port), label);
        console.Drain(200);
        std::string line;
        while (std::getline(std::cin, line))
        {
            if (!line.empty() && line[0] != '#')
                std::cout << label << ">> " << line << std::endl;
            if (!console.Execute(line))
                return 0;
        }
        console.Drain(200);
    }
    catch (const std::exception& error)
    {
        std::cerr << "zotolvex-operator: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
