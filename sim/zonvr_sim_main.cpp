// zonvr-sim: a recording server for the client library, and its control client.
//   zonvr-sim [--address A] [--port N] [--control-port N] [--state FILE]
//   zonvr-sim ctl [--address A] [--control-port N] <command...>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <pthread.h>

#include <boost/asio.hpp>

#include "sim/NvrSimulator.h"
#include "sim/SimWords.h"

using zonvrsim::NvrSimulator;
using zonvrsim::SimWords;

namespace {

bool ReadPort(const std::string& text, unsigned short& port)
{
    unsigned value = 0;
    if (!SimWords::ToU32(text, value) || value > 65535)
        return false;
    port = static_cast<unsigned short>(value);
    return true;
}

int Usage()
{
    std::cerr << "usage: zonvr-sim [--address A] [--port N] [--control-port N] [--state FILE]\n"
                 "       zonvr-sim ctl [--address A] [--control-port N] <command...>\n";
    return 2;
}

// Sends one control line and prints the answer; exit status 0 for "OK", 1 for "ERR", 2 when the
// simulator cannot be reached.
int Control(const std::string& address, unsigned short controlPort, const std::vector<std::string>& words)
{
    std::string line;
    for (const auto& w : words) {
        bool plain = !w.empty() && w.find_first_of(" \t\"\\") == std::string::npos;
        line += (line.empty() ? "" : " ") + (plain ? w : SimWords::Quote(w));
    }
    try {
        boost::asio::io_service io;
        boost::asio::ip::tcp::socket socket(io);
        socket.connect({boost::asio::ip::make_address(address), controlPort});
        boost::asio::write(socket, boost::asio::buffer(line + "\n"));
        boost::asio::streambuf input;
        std::istream in(&input);
        for (;;) {
            boost::asio::read_until(socket, input, '\n');
            std::string answer;
            std::getline(in, answer);
            if (answer == "OK")
                return 0;
            if (answer.compare(0, 4, "ERR ") == 0) {
                std::cerr << answer.substr(4) << "\n";
                return 1;
            }
            std::cout << answer << "\n";
        }
    } catch (const std::exception& e) {
        std::cerr << "zonvr-sim ctl: " << e.what() << "\n";
        return 2;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string address = "127.0.0.1";
    unsigned short port = NvrSimulator::kDefaultPort;
    unsigned short controlPort = NvrSimulator::kDefaultControlPort;
    std::string stateFile;
    bool ctl = !args.empty() && args[0] == "ctl";
    std::size_t i = ctl ? 1 : 0;
    for (; i < args.size(); ++i) {
        if (args[i] == "--address" && i + 1 < args.size())
            address = args[++i];
        else if (args[i] == "--port" && !ctl && i + 1 < args.size() && ReadPort(args[i + 1], port))
            ++i;
        else if (args[i] == "--control-port" && i + 1 < args.size() && ReadPort(args[i + 1], controlPort))
            ++i;
        else if (args[i] == "--state" && !ctl && i + 1 < args.size())
            stateFile = args[++i];
        else if (ctl)
            break;
        else
            return Usage();
    }
    if (ctl) {
        if (i >= args.size())
            return Usage();
        return Control(address, controlPort, std::vector<std::string>(args.begin() + i, args.end()));
    }

    // The simulator's thread must not take the termination signals; main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    NvrSimulator simulator;
    std::string error;
    if (!stateFile.empty() && !simulator.LoadState(stateFile, error)) {
        std::cerr << "zonvr-sim: " << stateFile << ": " << error << "\n";
        return 1;
    }
    try {
        simulator.Start(address, port, controlPort);
    } catch (const std::exception& e) {
        std::cerr << "zonvr-sim: " << e.what() << "\n";
        return 1;
    }
    // Whoever started us (a test, the demo) reads the ports it asked 0 for from this line.
    std::cout << "zonvr-sim listening on " << address << " port " << simulator.Port() << " control port "
              << simulator.ControlPort() << std::endl;
    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.Stop();
    return 0;
}
