// A registration through the one-call interface of a library older than 1.1,
// which has no call handle.
#pragma once

#include "CommandLine.h"
#include "LibraryLoader.h"

// Registers once and prints what came back; returns the exit status.
int registerThroughOneCall(const LoadedLibrary& library, const HostOptions& options);
