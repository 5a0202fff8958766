#pragma once

#include <exception>

// The lines the daemon writes around loading its configuration, shared with the configuration
// checker so that both print them alike.

/// Logs the start banner with the daemon's version.
void LogBanner();

/// Logs that the configuration stops the start-up; the loader has logged the reasons before.
void LogConfigurationFailure();

/// Logs the exception that ends the start-up.
void LogStartupException(const std::exception& exception);
