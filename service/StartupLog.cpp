#include "service/StartupLog.h"

#include "base/LogStream.h"

void LogBanner()
{
    gLog.BeginLine() << "------ Starting zoTolvex version " << 1 << '.' << 0 << '.' << 14 << '.' << 134927;
}

void LogConfigurationFailure()
{
    gLog.BeginLine() << "Exiting due to configuration file error(s)";
}

void LogStartupException(const std::exception& exception)
{
    gLog.BeginLine() << "Exception: " << exception.what();
}
