// Control case of check-portable-includes: a direct include.
#pragma once

#include <oleauto.h>
