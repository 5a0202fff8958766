// zotolvex-operator: a TolvexControl operator session on the command line.
//   zotolvex-operator [--host ADDRESS] [--port PORT] [--label TEXT]
//   zotolvex-operator --keys [--host ADDRESS] [--port PORT] [--login NAME [--password TEXT]]
// The line mode reads commands from standard input (one per line; "help" lists them) and prints
// the daemon's messages as they arrive; scripts drive it. The keyboard mode is for a person at a
// terminal: single keys steer a camera and a status line shows who has control.

#include <exception>
#include <iostream>
#include <string>

#include "CommandLine.h"
#include "KeyboardSession.h"
#include "OperatorConsole.h"

namespace po = boost::program_options;

int main(int argc, char** argv)
{
    CommandLine commandLine("zotolvex-operator",
                            "zotolvex-operator [--host ADDRESS] [--port PORT] [--label TEXT]\n"
                            "       zotolvex-operator --keys [--host ADDRESS] [--port PORT] [--login NAME "
                            "[--password TEXT]]");
    commandLine.options.add_options()                                                                 //
        ("host", po::value<std::string>()->default_value("127.0.0.1"), "the daemon's numeric IPv4 address") //
        ("port", po::value<TcpPort>()->default_value(TcpPort{55272}, "55272"), "the daemon's operator port, 1-65535") //
        ("label", po::value<std::string>()->default_value(""), "line mode: printed before each message")   //
        ("keys", "keyboard mode: arrows move, [ ] speed, + - zoom, space stop, digits Enter camera, "
                 "c choose, x cancel, q quit")                                                         //
        ("login", po::value<std::string>()->default_value(""), "keyboard mode: log in as NAME first")     //
        ("password", po::value<std::string>()->default_value(""), "keyboard mode: the password for --login");
    po::variables_map values;
    if (const auto status = commandLine.Parse(std::vector<std::string>(argv + 1, argv + argc), values))
    {
        if (*status == 0)
            std::cout << OperatorConsole::Help();
        return *status;
    }
    const std::string host = values["host"].as<std::string>();
    const uint16_t port = values["port"].as<TcpPort>().value;
    const std::string label = values["label"].as<std::string>();

    try
    {
        if (values.count("keys"))
        {
            KeyboardSession session(host, port, values["login"].as<std::string>(), values["password"].as<std::string>());
            return session.Run();
        }

        OperatorConsole console(host, port, label.empty() ? label : label + " ");
        console.Drain(200);
        std::string line;
        while (std::getline(std::cin, line))
        {
            if (!line.empty() && line[0] != '#')
                std::cout << label << (label.empty() ? "" : " ") << ">> " << line << std::endl;
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
