#include "CallFunctions.h"

namespace {

template <typename Function>
void lookUp(const LoadedLibrary& library, const char* name, Function& slot, const char*& missing)
{
    slot = library.function<Function>(name);
    if (slot == nullptr && missing == nullptr) {
        missing = name;
    }
}

} // namespace

CallFunctions::CallFunctions(const LoadedLibrary& library)
{
    lookUp(library, "DLL_RegisterCallCreate", create, missing);
    lookUp(library, "DLL_RegisterCallDestroy", destroy, missing);
    lookUp(library, "DLL_RegisterCallSetNumber", setNumber, missing);
    lookUp(library, "DLL_RegisterCallSetText", setText, missing);
    lookUp(library, "DLL_RegisterCallSetProgress", setProgress, missing);
    lookUp(library, "DLL_RegisterCallRun", run, missing);
    lookUp(library, "DLL_RegisterCallCancel", cancel, missing);
    lookUp(library, "DLL_RegisterCallGetNumber", getNumber, missing);
    lookUp(library, "DLL_RegisterCallGetText", getText, missing);
    lookUp(library, "DLL_RegisterResultText", resultText, missing);
    lookUp(library, "DLL_RegisterReasonText", reasonText, missing);
}
