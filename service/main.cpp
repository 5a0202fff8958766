#include <cstdlib>
#include <exception>

#include <boost/asio/io_service.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include "base/LogStream.h"
#include "base/RunningDir.h"
#include "base/User.h"
#include "camera/CameraMap.h"
#include "nvr/NvrMap.h"
#include "service/Daemonize.h"
#include "service/LoadConfig.h"

int main()
{
    boost::asio::io_service ioService;
    NvrMap nvrs;
    CameraMap cameras;
    UserMap users;

    Daemonize();
    gLog.BeginLine() << "------ Starting zoTolvex version " << 1 << '.' << 0 << '.' << 14 << '.' << 134927;

    try
    {
        if (LoadConfig(ioService, nvrs, cameras, users, RunningDir) == -1)
        {
            gLog.BeginLine() << "Exiting due to configuration file error(s)";
            std::exit(-1);
        }

        boost::thread_group threads;

        // Keeps the event loop running until the operator control server takes over that role
        // with its always-outstanding accept.
        boost::asio::io_service::work keepRunning(ioService);

        boost::system::error_code error;
        ioService.run(error);
        if (error)
            throw boost::system::system_error(error);
        threads.join_all();
    }
    catch (const std::exception& exception)
    {
        gLog.BeginLine() << "Exception: " << exception.what();
        return 1;
    }
    return 0;
}
