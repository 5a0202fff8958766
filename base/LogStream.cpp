#include "base/LogStream.h"

#include <iostream>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/filesystem/operations.hpp>

#include "base/RunningDir.h"

LogStream& gLog = *new LogStream(RunningDir);

namespace
{
/// A file that has grown beyond this many bytes is rotated when the next line begins.
const std::streamoff kRotateAbove = 1048576;
}

LogStream::LogStream(const std::string& directory)
    : directory(directory), logPath(directory + "zoTolvex.log"), oldPath(directory + "zoTolvex.log.old")
{
}

LogStream::~LogStream()
{
    std::lock_guard<std::mutex> guard(lock);
    if (file.is_open())
        file.close();
}

void LogStream::Reopen(const std::string& newDirectory)
{
    std::lock_guard<std::mutex> guard(lock);
    if (file.is_open())
        file.close();
    file.clear();
    directory = newDirectory;
    logPath = directory + "zoTolvex.log";
    oldPath = directory + "zoTolvex.log.old";
}

std::string LogStream::LogPath() const
{
    std::lock_guard<std::mutex> guard(lock);
    return logPath;
}

void LogStream::WriteTo(std::ostream& stream)
{
    std::lock_guard<std::mutex> guard(lock);
    plainStream = &stream;
}

LogLine LogStream::BeginLine()
{
    std::unique_lock<std::mutex> held(lock);
    if (plainStream != nullptr)
        return LogLine(std::move(held), *plainStream);
    const std::string prefix =
        "[ " + boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time()) + " ] ";

    // A stream that failed while open (a full disk for a moment) is closed and opened again, so
    // one bad write does not send the rest of the run to standard error.
    if (file.is_open() && !file.good())
        file.close();
    bool justOpened = false;
    if (!file.is_open())
    {
        file.clear();
        file.open(logPath, std::ios::out | std::ios::app);
        justOpened = true;
    }
    if (!file.good())
        return LogLine(std::move(held), std::cerr);

    // The size of a file opened for appending counts only from its first line on, so a file
    // left large by an earlier run is rotated when the second line begins, never in the middle
    // of the first one's start-up story.
    const std::streamoff position = justOpened ? std::streamoff(-1) : std::streamoff(file.tellp());
    if (position != std::streamoff(-1) && position > kRotateAbove)
        Rotate();

    if (file.is_open() && file.good())
    {
        file << prefix;
        return LogLine(std::move(held), file, this);
    }
    std::cout << prefix;
    return LogLine(std::move(held), std::cout);
}

void LogStream::Rotate()
{
    file.close();
    file.clear();
    boost::system::error_code removeError;
    boost::filesystem::remove(oldPath, removeError);
    boost::system::error_code renameError;
    boost::filesystem::rename(logPath, oldPath, renameError);
    if (removeError || renameError)
        file.open(logPath, std::ios::out | std::ios::app);
    else
        file.open(logPath, std::ios::out | std::ios::trunc);
}

void LogStream::DropTornLine()
{
    file.close();
    file.clear();
    boost::system::error_code error;
    const boost::uintmax_t size = boost::filesystem::file_size(logPath, error);
    if (error)
        return;
    // Walk back from the end to the last line feed; everything after it is the torn line.
    std::ifstream in(logPath, std::ios::binary);
    char chunk[4096];
    for (boost::uintmax_t end = size; end > 0;)
    {
        const boost::uintmax_t from = end > sizeof chunk ? end - sizeof chunk : 0;
        in.seekg(static_cast<std::streamoff>(from));
        if (!in.read(chunk, static_cast<std::streamsize>(end - from)))
            return;
        for (boost::uintmax_t at = end; at > from; --at)
        {
            if (chunk[at - 1 - from] == '\n')
            {
                if (at != size)
                    boost::filesystem::resize_file(logPath, at, error);
                return;
            }
        }
        end = from;
    }
    boost::filesystem::resize_file(logPath, 0, error);
}
