// Control case of check-portable-includes: an include through another
// header.
#pragma once

#include "WindowsOnly.h"
