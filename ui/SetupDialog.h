// The setup dialog as the COM object's SetupDialog member opens it.
#pragma once

// Reads the stored port, probes the mount and shows the dialog until the
// user closes it.
void showSetupDialog();
