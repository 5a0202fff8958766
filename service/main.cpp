#include <cstdlib>
#include <exception>

#include <boost/asio/io_service.hpp>
#include <boost/system/system_error.hpp>
#include <boost/thread/thread.hpp>

#include "base/RunningDir.h"
#include "base/User.h"
#include "camera/CameraMap.h"
#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
#include "nvr/NVRConnection.h"
#include "nvr/NvrMap.h"
#include "service/Daemonize.h"
#include "service/LoadConfig.h"
#include "service/StartupLog.h"

int main()
{
    boost::asio::io_service ioService;
    NvrMap nvrs;
    CameraMap cameras;
    UserMap users;

    Daemonize();
    LogBanner();

    try
    {
        if (LoadConfig(ioService, nvrs, cameras, users, RunningDir) == -1)
        {
            LogConfigurationFailure();
            std::exit(-1);
        }

        // Like the registries, the thread group and the server live until the process ends:
        // the connection threads use them to the last.
        boost::thread_group& threads = *new boost::thread_group;
        // Its always-outstanding accept keeps the event loop running for the life of the process.
        ControlServer& server = *new ControlServer(ioService, ClientAddress, ClientPort, cameras, users);
        for (auto& entry : cameras)
            server.AttachCamera(*entry.second);
        for (auto& entry : nvrs)
            entry.second->controlServer = &server;
        for (auto& entry : nvrs)
            threads.add_thread(entry.second->Start());

        boost::system::error_code error;
        ioService.run(error);
        if (error)
            throw boost::system::system_error(error);
        threads.join_all();
    }
    catch (const std::exception& exception)
    {
        LogStartupException(exception);
        // Connection threads may still be running on the event loop's objects and the
        // registries in this frame: end here rather than unwind them under those threads.
        std::_Exit(1);
    }
    return 0;
}
