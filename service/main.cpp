#include <cstdlib>
#include <exception>

#include <boost/asio/io_service.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include "base/LogStream.h"
#include "base/RunningDir.h"
#include "base/User.h"
#include "camera/CameraMap.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
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
        // Its always-outstanding accept keeps the event loop running for the life of the process.
        ControlServer server(ioService, ClientAddress, ClientPort, cameras, users);
        for (auto& entry : cameras)
            server.AttachCamera(*entry.second);

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
