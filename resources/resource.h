// Resource identifiers of the driver module.
#pragma once

#define IDS_PROJNAME 100
#define IDS_TELESCOPE_DESC 102
