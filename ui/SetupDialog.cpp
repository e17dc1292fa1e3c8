#include "SetupDialog.h"

#include "DlgSettings.h"

void showSetupDialog()
{
    CDlgSettings settings;
    settings.DoModal();
}
