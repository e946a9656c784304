// A registration through the call handle of a library of version 1.1 or
// later: the options set on the handle, the Run on this thread.
#pragma once

#include "CallFunctions.h"
#include "CommandLine.h"

// Registers once and prints what came back; returns the exit status. An
// option the library refuses is a usage error, reported before any Run.
int registerThroughCall(const CallFunctions& library, const HostOptions& options);
