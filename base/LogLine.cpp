#include "base/LogLine.h"

#include "base/LogStream.h"

LogLine::LogLine(std::unique_lock<std::mutex> lock, std::ostream& stream, LogStream* owner)
    : lock(std::move(lock)), stream(&stream), owner(owner)
{
}

LogLine::LogLine(LogLine&& other) noexcept
    : lock(std::move(other.lock)), stream(other.stream), owner(other.owner)
{
    other.stream = nullptr;
}

LogLine::~LogLine()
{
    if (stream == nullptr)
        return;
    try
    {
        *stream << '\n';
        stream->flush();
        stream->flags(std::ios_base::dec | std::ios_base::skipws);
        if (!stream->good() && owner != nullptr)
            owner->DropTornLine();
    }
    catch (...)
    {
        // A log line must never end the program; a stream that throws is left in its failed
        // state and reopened when the next line is begun.
    }
}

LogLine& LogLine::operator<<(std::ostream& (*manipulator)(std::ostream&))
{
    if (stream != nullptr)
        *stream << manipulator;
    return *this;
}
