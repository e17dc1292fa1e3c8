#include "MountState.h"

MountState mount;
