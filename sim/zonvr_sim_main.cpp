// zonvr-sim: a recording server for the client library, and its control client.
//   zonvr-sim [--address A] [--port N] [--control-port N] [--state FILE]
//   zonvr-sim ctl [--address A] [--control-port N] <command...>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include <pthread.h>

#include <boost/asio.hpp>

#include "CommandLine.h"
#include "sim/NvrSimulator.h"
#include "sim/SimWords.h"

using zonvrsim::NvrSimulator;
using zonvrsim::SimWords;

namespace {

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
    namespace po = boost::program_options;
    std::vector<std::string> args(argv + 1, argv + argc);
    const bool ctl = !args.empty() && args[0] == "ctl";
    po::variables_map values;
    if (ctl) {
        // The command's words are passed on as typed, even those that look like options.
        CommandLine commandLine("zonvr-sim ctl", "zonvr-sim ctl [--address A] [--control-port N] <command...>");
        commandLine.options.add_options()
            ("address", po::value<std::string>()->default_value("127.0.0.1"), "the simulator's address")
            ("control-port", po::value<TcpPort>()->default_value(TcpPort{NvrSimulator::kDefaultControlPort},
                                                                 std::to_string(NvrSimulator::kDefaultControlPort)),
             "the simulator's control port, 1-65535");
        commandLine.wordsEndOptions = true;
        if (const auto status = commandLine.Parse(std::vector<std::string>(args.begin() + 1, args.end()), values))
            return *status;
        if (commandLine.words.empty()) {
            std::cerr << "zonvr-sim ctl: no command given\nTry 'zonvr-sim ctl --help' for more.\n";
            return 2;
        }
        return Control(values["address"].as<std::string>(), values["control-port"].as<TcpPort>().value,
                       commandLine.words);
    }

    CommandLine commandLine("zonvr-sim", "zonvr-sim [--address A] [--port N] [--control-port N] [--state FILE]\n"
                                         "       zonvr-sim ctl [--address A] [--control-port N] <command...>");
    commandLine.options.add_options()
        ("address", po::value<std::string>()->default_value("127.0.0.1"), "the address to listen on")
        ("port", po::value<ListenPort>()->default_value(ListenPort{NvrSimulator::kDefaultPort},
                                                       std::to_string(NvrSimulator::kDefaultPort)),
         "the client library's port; 0 picks a free one")
        ("control-port", po::value<ListenPort>()->default_value(ListenPort{NvrSimulator::kDefaultControlPort},
                                                               std::to_string(NvrSimulator::kDefaultControlPort)),
         "the control port; 0 picks a free one")
        ("state", po::value<std::string>()->default_value(""), "a state file to load at start");
    if (const auto status = commandLine.Parse(args, values))
        return *status;
    const std::string address = values["address"].as<std::string>();
    const unsigned short port = values["port"].as<ListenPort>().value;
    const unsigned short controlPort = values["control-port"].as<ListenPort>().value;
    const std::string stateFile = values["state"].as<std::string>();

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
