// The control case of check-layer-includes: a folder over low/.
#pragma once

#include "Low.h"

int high();
