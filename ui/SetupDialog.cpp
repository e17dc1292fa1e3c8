// The one member of the driver that opens a window lives with the windows,
// so the driver itself needs nothing of them.
#include "DlgSettings.h"
#include "DriverCall.h"
#include "Telescope.h"

HRESULT CTelescope::SetupDialog()
{
    DriverCall call;
    // Building the dialog reads the stored port and probes the mount; the
    // dialog's result is nobody's business but the user's.
    CDlgSettings settings;
    settings.DoModal();
    return call.result(S_OK);
}
