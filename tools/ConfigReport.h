#pragma once

#include <ostream>

class ConfigCheck;

/// What the configuration checker says beyond the daemon's own lines: a summary of what the
/// daemon would run with, and warnings for what installers get wrong but the daemon accepts.
/// Every text of the checker's own is here.
class ConfigReport
{
public:
    /// A report on check, written to out.
    ConfigReport(const ConfigCheck& check, std::ostream& out);

    /// The listening address and port, each user with priority (never the password), each
    /// recording server, and each camera with transport, PelcoNumber and line settings.
    void PrintSummary();
    /// One "Warning: " line per problem found; nothing when there is none.
    void PrintWarnings();

private:
    /// Warnings about the options and the operator accounts.
    void WarnAboutOptionsAndUsers();
    /// Warnings about the recording servers and the cameras.
    void WarnAboutServersAndCameras();

    /// The finished check.
    const ConfigCheck& check;
    /// Where the report goes.
    std::ostream& out;
};
