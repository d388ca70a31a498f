// Weak stand-ins for functions the media area calls until their owners land.
#include "eventing/subscriptions.h"

__attribute__((weak)) bool genaTakeEventTarget(int, bool, bool, GenaEventTarget*) {
    return false;
}
__attribute__((weak)) bool genaCallbackAddressAllowed(const GenaPeer*, uint32_t) {
    return false;
}
