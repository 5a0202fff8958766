#include "ConfigCheck.h"

#include <exception>

#include "camera/TrackCamera.h"
#include "control/ControlServer.h"
#include "nvr/NVRConnection.h"
#include "service/StartupLog.h"

ConfigCheck::~ConfigCheck()
{
    for (auto& entry : cameras)
        delete entry.second;
    for (TrackCamera* camera : load.repeatedCameras)
        delete camera;
    for (auto& entry : nvrs)
        delete entry.second;
    for (NVRConnection* connection : load.repeatedServers)
        delete connection;
    for (auto& entry : users)
        delete entry.second;
}

int ConfigCheck::Run(const std::string& path)
{
    // The same steps and the same handler as the daemon's main, up to where it would start
    // listening and connecting.
    LogBanner();
    try
    {
        const int result = LoadConfigForCheck(ioService, nvrs, cameras, users, path, load);
        loaded = load.documentRead;
        if (result == -1)
        {
            LogConfigurationFailure();
            return 255;
        }
        ControlServer::ListenEndpoint(ClientAddress, ClientPort);
    }
    catch (const std::exception& exception)
    {
        LogStartupException(exception);
        return 1;
    }
    return 0;
}
