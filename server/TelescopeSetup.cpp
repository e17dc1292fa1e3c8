// The one member that opens a window: the window itself is ui/'s.
#include "Telescope.h"

#include "DriverCall.h"
#include "SetupWindow.h"

namespace {
SetupWindowOpener setupWindowOpener = nullptr;
}

void setSetupWindowOpener(SetupWindowOpener opener)
{
    setupWindowOpener = opener;
}

void openSetupWindow()
{
    if (setupWindowOpener)
        setupWindowOpener();
}

HRESULT CTelescope::SetupDialog()
{
    DriverCall call;
    // Building the dialog reads the stored port and probes the mount; the
    // dialog's result is nobody's business but the user's.
    openSetupWindow();
    return call.result(S_OK);
}
