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
#include "service/StateDump.h"

int main()
{
    // Only the event loop's thread touches sockets, serial lines and timers; other threads only
    // post to it. Telling the loop so spares a lock per socket operation and a wake-up of the
    // loop for every completion it queues for itself.
    boost::asio::io_service ioService(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO);
    NvrMap nvrs;
    CameraMap cameras;
    UserMap users;

    // Blocked before the fork, so that a dump asked for while the daemon starts waits for it
    // instead of ending it.
    StateDump::HoldSignal();
    Daemonize();
    LogBanner();

    try
    {
        // After Daemonize, which forks and closes every descriptor (the handler's among them, had
        // it come first), and before the configuration starts any camera or library thread: from
        // here on the signal cannot end the process, whichever thread it reaches.
        StateDump dump(ioService, cameras, nvrs);
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
        // Only now, with every thread started with the signal blocked, is it let through, to
        // this thread alone: no call inside the client library is cut short by it.
        dump.Listen(server);

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
