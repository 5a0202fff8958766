// zotolvex-checkconfig: checks a configuration file with the daemon's own loader.
//   zotolvex-checkconfig [FILE]
// Prints the lines the daemon would log from its banner to the end of its start-up (without the
// time prefix), then a summary and warnings, and exits with the status the daemon would end
// with. It never listens, looks a name up, connects or opens a serial device, so it is safe
// beside a running daemon.

#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "ConfigCheck.h"
#include "ConfigReport.h"
#include "base/LogStream.h"
#include "base/RunningDir.h"

namespace po = boost::program_options;

int main(int argc, char** argv)
{
    const std::string defaultPath = ConfigPath(RunningDir);
    CommandLine commandLine("zotolvex-checkconfig", "zotolvex-checkconfig [FILE]\n"
                                                    "  FILE defaults to " + defaultPath + ".\n"
                                                    "  Exit status: 0 the daemon would start, 255 configuration "
                                                    "error, 1 it would end with an exception.");
    commandLine.hidden.add_options()("file", po::value<std::string>()->default_value(defaultPath), "FILE");
    commandLine.positional.add("file", 1);
    po::variables_map values;
    if (const auto status = commandLine.Parse(std::vector<std::string>(argv + 1, argv + argc), values))
        return *status;
    const std::string path = values["file"].as<std::string>();

    // The daemon's lines go to standard output, without time, and no log file is touched.
    gLog.WriteTo(std::cout);
    ConfigCheck check;
    const int status = check.Run(path);
    if (check.loaded)
    {
        ConfigReport report(check, std::cout);
        report.PrintSummary();
        report.PrintWarnings();
    }
    std::cout.flush();
    return status;
}
