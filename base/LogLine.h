#pragma once

#include <mutex>
#include <ostream>

class LogStream;

/// One line of the service log. It holds the log's lock for its whole life, so lines written by
/// different threads never interleave, and ends the line (line feed and flush) when destroyed.
/// Callers insert the text and values and let the temporary die at the end of the statement:
///     gLog.BeginLine() << "Loaded config for server at " << address;
class LogLine
{
public:
    /// Takes over the held lock; text goes to stream, which is owner's file when owner is given.
    LogLine(std::unique_lock<std::mutex> lock, std::ostream& stream, LogStream* owner = nullptr);
    LogLine(LogLine&& other) noexcept;
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;
    LogLine& operator=(LogLine&&) = delete;
    /// Writes the line end, flushes, restores decimal formatting and releases the lock. A line
    /// that could not be written whole is taken out of the owner's file again.
    ~LogLine();

    template <typename T>
    LogLine& operator<<(const T& value)
    {
        if (stream != nullptr)
            *stream << value;
        return *this;
    }

    /// Lets manipulators such as std::hex through; std::endl must not be used (the line ends itself).
    LogLine& operator<<(std::ostream& (*manipulator)(std::ostream&));

private:
    /// The log's lock, held from the prefix to the line end.
    std::unique_lock<std::mutex> lock;
    /// Where the text goes: the log file, or a standard stream as a fall-back; null once moved from.
    std::ostream* stream;
    /// The log whose file stream is written; null for a standard stream.
    LogStream* owner;
};
