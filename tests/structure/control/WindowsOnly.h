// Included by PortableChain.h: the Windows header two steps down.
#pragma once

#include <windows.h>
