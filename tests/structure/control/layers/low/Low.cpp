// Includes its own header, a system one and one found in no folder (all
// allowed), then one from the folder above and one from the folder beside:
// the check must name these two.
#include "Low.h"
#include <cstdio>
#include "Generated.h"
#include "High.h"
#include "Side.h"

int low() { return high() + side(); }
