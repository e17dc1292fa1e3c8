// The setup dialog belongs to ui/, which builds on this folder: the DLL
// hands its opener in when it loads, so the COM object and its table of
// members need no window code.
#pragma once

using SetupWindowOpener = void (*)();

void setSetupWindowOpener(SetupWindowOpener opener);
// Shows the dialog and returns once the user closed it; nothing happens
// while no opener was handed in.
void openSetupWindow();
