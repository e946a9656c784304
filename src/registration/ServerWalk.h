#pragma once

#include "common/DataException.h"
#include "net/SocketAddress.h"
#include "registration/RegistrationClient.h"

#include <set>
#include <string_view>

// How one server attempt ended: with a verdict that ends the walk either way,
// or with a failure of that server alone.
enum class AttemptOutcome { succeeded, stopped, nextServer };

// Runs attempt(server) for each server in the set's order until one reaches a
// verdict. A reply too short for its parser fails only that server; any
// other exception leaves the walk. Each attempt keeps its socket, keys and
// buffers as locals, so they are gone before the next server is tried. A
// cancel or a passed deadline ends the walk before the next server.
template <typename Attempt>
bool walkServers(RegistrationClient& client, const std::set<SocketAddress>& servers,
                 Attempt&& attempt, std::string_view unpackFailedText,
                 std::string_view allFailedText, RegisterReason allFailedReason)
{
    for (const SocketAddress& server : servers) {
        if (client.interrupted()) {
            return false;
        }
        client.failure.server = server.endpointText();
        try {
            switch (attempt(server)) {
            case AttemptOutcome::succeeded:
                return true;
            case AttemptOutcome::stopped:
                return false;
            case AttemptOutcome::nextServer:
                break;
            }
        } catch (const DataException&) {
            client.appendLog(unpackFailedText);
        }
    }
    if (client.interrupted()) {
        return false;
    }
    client.appendLog(allFailedText);
    client.fail(allFailedReason);
    return false;
}
