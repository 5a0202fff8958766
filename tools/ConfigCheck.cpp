#include "ConfigCheck.h"

#include <exception>

#include "control/ControlServer.h"
#include "service/StartupLog.h"

ConfigCheck::~ConfigCheck()
{
    FreeCheckLoad(nvrs, cameras, users, load);
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
