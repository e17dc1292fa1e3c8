#include "DlgSettings.h"

#include "Messages.h"
#include "Profile.h"
#include "ProfileSettings.h"
#include "resource.h"

#include <cstdio>

CDlgSettings::CDlgSettings() : CDialog(IDD_SETTINGS), MountProbe(profileSettings())
{
    backgroundBrush = CreateSolidBrush(kSettingsBackground);
}

CDlgSettings::~CDlgSettings()
{
    DeleteObject(backgroundBrush);
}

namespace {

// The nine read-only texts and their controls.
struct TextControl {
    int id;
    std::string CDlgSettings::*text;
};
const TextControl kTextControls[] = {
    {IDC_LATITUDE, &CDlgSettings::latitudeText},
    {IDC_LONGITUDE, &CDlgSettings::longitudeText},
    {IDC_MODEL, &CDlgSettings::modelText},
    {IDC_LOCAL_TIME, &CDlgSettings::localTimeText},
    {IDC_TIME_ZONE, &CDlgSettings::timeZoneText},
    {IDC_RIGHT_ASCENSION, &CDlgSettings::rightAscensionText},
    {IDC_ALTITUDE, &CDlgSettings::altitudeText},
    {IDC_DECLINATION, &CDlgSettings::declinationText},
    {IDC_AZIMUTH, &CDlgSettings::azimuthText},
};

} // namespace

BOOL CDlgSettings::OnInitDialog()
{
    CDialog::OnInitDialog();
    portList.SetCurSel(portNumber - 1);
    return TRUE;
}

bool CDlgSettings::DoDataExchange(bool saving)
{
    if (!saving && !okButton.window()) {
        okButton.SubclassDlgItem(IDOK, hwnd);
        cancelButton.SubclassDlgItem(IDCANCEL, hwnd);
        applyButton.SubclassDlgItem(IDC_APPLY, hwnd);
        portList.Attach(GetDlgItem(hwnd, IDC_PORT_LIST));
    }
    if (saving)
        traceOn = IsDlgButtonChecked(hwnd, IDC_TRACE) == BST_CHECKED;
    else
        CheckDlgButton(hwnd, IDC_TRACE, traceOn ? BST_CHECKED : BST_UNCHECKED);
    for (const TextControl& control : kTextControls) {
        std::string& text = this->*control.text;
        if (!saving) {
            SetDlgItemTextA(hwnd, control.id, text.c_str());
            continue;
        }
        HWND edit = GetDlgItem(hwnd, control.id);
        text.assign(std::size_t(GetWindowTextLengthA(edit)) + 1, '\0');
        text.resize(std::size_t(GetWindowTextA(edit, &text[0], int(text.size()))));
    }
    return true;
}

bool CDlgSettings::OnCommand(WORD id, WORD code, HWND)
{
    if (id == IDC_PORT_LIST && code == CBN_SELCHANGE) {
        OnPortSelected();
        return true;
    }
    if (id == IDC_APPLY && code == BN_CLICKED) {
        OnApply();
        return true;
    }
    return false;
}

void CDlgSettings::OnPortSelected()
{
    int index = portList.GetCurSel();
    if (index >= 0 && index < kLastPort)
        portNumber = index + 1;
}

void CDlgSettings::OnApply()
{
    if (!UpdateData(true))
        return;
    savePortNumber();
    saveTraceSwitch();
    if (testPort()) {
        link.closePort();
        return;
    }
    char message[300];
    std::snprintf(message, sizeof message, kCannotOpenPort, settings.portLabel(portNumber).c_str());
    MessageBoxA(hwnd, message, kDriverName, MB_OK | MB_ICONEXCLAMATION);
}

void CDlgSettings::OnOK()
{
    OnApply();
    CDialog::OnOK();
}

bool CDlgSettings::OnMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR& result)
{
    switch (message) {
    case WM_PAINT:
        OnPaint();
        result = TRUE;
        return true;
    case WM_CTLCOLORSTATIC:
        result = reinterpret_cast<INT_PTR>(OnCtlColor(reinterpret_cast<HDC>(wParam)));
        return true;
    default:
        return false;
    }
}

void CDlgSettings::OnPaint()
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    RECT client;
    GetClientRect(hwnd, &client);
    HBRUSH brush = CreateSolidBrush(kSettingsBackground);
    FillRect(dc, &client, brush);
    DeleteObject(brush);
    EndPaint(hwnd, &paint);
}

// Labels, group boxes, the picture and the read-only texts ask here: they
// sit on the painted background. Other controls keep the default colours.
HBRUSH CDlgSettings::OnCtlColor(HDC dc)
{
    SetBkMode(dc, TRANSPARENT);
    return backgroundBrush;
}
