#include "registration/RegistrationClient.h"

bool RegistrationClient::sendRegistration()
{
    // The DBProxy exchange is not built yet: no DBProxy is contacted and the
    // attempt counts as failed.
    return false;
}
