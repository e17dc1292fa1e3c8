// The control case of check-layer-includes: a folder beside high/, over low/.
#pragma once

#include "Low.h"

int side();
