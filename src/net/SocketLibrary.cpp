#include "net/SocketLibrary.h"

#include "platform/Platform.h"

std::int32_t startSockets()
{
    return Platform::startSockets();
}

std::int32_t stopSockets()
{
    return Platform::stopSockets();
}
