#pragma once

#include <fstream>
#include <mutex>
#include <string>

#include "base/LogLine.h"

/// The service log: "zoTolvex.log" in one directory, each line stamped with the local time,
/// rotated into "zoTolvex.log.old" when it has grown beyond 1 MiB. Any thread may log.
class LogStream
{
public:
    /// Stores the paths below directory (which ends with a slash); opens nothing yet.
    explicit LogStream(const std::string& directory);
    LogStream(const LogStream&) = delete;
    LogStream& operator=(const LogStream&) = delete;
    /// Closes the file under the lock.
    ~LogStream();

    /// Starts one line: opens or rotates the file as needed, writes the "[ time ] " prefix and
    /// returns the line, which holds the lock until it is destroyed. Never throws for a file
    /// problem: a file that cannot be written sends the text to standard error without prefix,
    /// and a file whose reopening after rotation failed gets the line on standard output.
    LogLine BeginLine();

    /// Points the log at another directory (component tests use a private one); the next line
    /// opens the file there.
    void Reopen(const std::string& directory);

    /// Path of the current log file.
    std::string LogPath() const;

    /// Sends every later line to stream instead of the file, without the time prefix; no file is
    /// opened or rotated from then on. The configuration checker prints the daemon's lines so.
    void WriteTo(std::ostream& stream);

private:
    friend class LogLine;

    /// Closes a file whose stream failed while a line was written (a full disk) and cuts the
    /// file back to its last line end, so that a line that got only part of the way out does not
    /// run into the next one. Never throws. Called by LogLine with the lock held.
    void DropTornLine();

    /// Rotates the current file into the old one; on any failure the current file is kept and
    /// reopened for appending, so logging goes on there. Called with the lock held.
    void Rotate();

    /// The open log file; closed until the first line is begun.
    std::ofstream file;
    /// The directory given at construction, with its trailing slash.
    std::string directory;
    /// directory + "zoTolvex.log".
    std::string logPath;
    /// directory + "zoTolvex.log.old".
    std::string oldPath;
    /// Where lines go instead of the file, without prefix; null while they go to the file.
    std::ostream* plainStream = nullptr;
    /// Guards the file, the rotation and every line from prefix to line end.
    mutable std::mutex lock;
};

/// The one service log, in RunningDir. It is never destroyed, so threads still logging while
/// the process exits always find it alive; every line is flushed when it ends.
extern LogStream& gLog;
