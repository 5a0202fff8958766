#pragma once

/// Detaches the process and takes the lock file, unless the parent is process 1 (then the
/// process counts as detached already and nothing is done). Ends the process with status 1 when
/// the fork fails or the lock file cannot be opened, with status 0 in the launcher and when
/// another instance holds the lock. On return the process is the one daemon, SIGHUP and SIGTERM
/// are blocked in every thread and a thread of their own waits for them (SignalHandler).
void Daemonize();

/// Reaction to SIGHUP and SIGTERM: logs the signal's line and ends the process with status 0.
/// Runs on the signal thread, never in asynchronous signal context, so it may take the log's lock.
void SignalHandler(int signalNumber);
