#include "camera/SerialLineCheck.h"

#include <sys/stat.h>

#include <cerrno>

#include "base/RunningDir.h"

namespace
{

boost::system::error_code SystemError(int number)
{
    return boost::system::error_code(number, boost::system::system_category());
}

} // namespace

SerialLineCheck::SerialLineCheck(const std::string& port) : path(port.rfind('/', 0) == 0 ? port : RunningDir + port)
{
}

boost::system::error_code SerialLineCheck::PredictOpen() const
{
    // The serial port opens for reading and writing, following links, and then asks the device
    // for its terminal settings: each refusal below is the one that step would meet first.
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0)
        return SystemError(errno);
    // Permissions are not judged: the daemon runs as a user of its own, not as whoever checks.
    if (S_ISDIR(status.st_mode))
        return SystemError(EISDIR);
    if (S_ISSOCK(status.st_mode))
        return SystemError(ENXIO);
    if (!S_ISCHR(status.st_mode))
        return SystemError(ENOTTY);
    return boost::system::error_code();
}
