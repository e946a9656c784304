// The call-handle functions of a loaded register library, looked up by name.
#pragma once

#include "LibraryLoader.h"

#include <register/register.h>

struct CallFunctions {
    // A library older than 1.1 has none of them; create is then null.
    explicit CallFunctions(const LoadedLibrary& library);

    decltype(&DLL_RegisterCallCreate) create = nullptr;
    decltype(&DLL_RegisterCallDestroy) destroy = nullptr;
    decltype(&DLL_RegisterCallSetNumber) setNumber = nullptr;
    decltype(&DLL_RegisterCallSetText) setText = nullptr;
    decltype(&DLL_RegisterCallSetProgress) setProgress = nullptr;
    decltype(&DLL_RegisterCallRun) run = nullptr;
    decltype(&DLL_RegisterCallCancel) cancel = nullptr;
    decltype(&DLL_RegisterCallGetNumber) getNumber = nullptr;
    decltype(&DLL_RegisterCallGetText) getText = nullptr;
    decltype(&DLL_RegisterResultText) resultText = nullptr;
    decltype(&DLL_RegisterReasonText) reasonText = nullptr;

    // The first function the library lacks, or null when it has them all.
    const char* missing = nullptr;
};
