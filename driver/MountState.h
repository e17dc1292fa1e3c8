// What the driver objects that share one mount share: whether it is
// connected, which model it is, and the scratch fields that replies are
// scanned into (a reply that does not convert leaves what an earlier one
// put there, whichever object asked). One call at a time on the state
// (the front end's lock) keeps it whole.
#pragma once

#include "Utilities.h"

#include <cstdint>

struct MountState {
    bool connected = false;
    // 1 to 3 once a connection has told the models apart; 0 before.
    std::uint8_t model = 0;
    // Results of splitAngle, also scan targets for replies.
    AngleFields angle;
};
