#include "DlgSettings.h"

#include "Profile.h"
#include "Protocol.h"
#include "ReplyScan.h"
#include "resource.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int setupModel = 0;

namespace {

constexpr DWORD kStoredValueBuffer = 256;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[64];
    va_list fields;
    va_start(fields, pattern);
    std::vsnprintf(text, sizeof text, pattern, fields);
    va_end(fields);
    return text;
}

// Seconds rounded for display; a reply may carry any number at all.
int roundedSeconds(double value)
{
    double rounded = value + 0.5;
    if (!(rounded > -1e9))
        return 0;
    if (rounded > 1e9)
        return 1000000000;
    return static_cast<int>(rounded);
}

const char* modelName(int model)
{
    switch (model) {
    case 2:
        return "Corvane A/Corvane B";
    case 3:
        return "Corvane A Revision B";
    default:
        return "Brevan/Lintor/Lintor Plus";
    }
}

} // namespace

int clampedPortNumber(const char* text)
{
    long value = std::strtol(text, nullptr, 10);
    if (value < CDlgSettings::kFirstPort)
        return CDlgSettings::kFirstPort;
    if (value > CDlgSettings::kLastPort)
        return CDlgSettings::kLastPort;
    return static_cast<int>(value);
}

CDlgSettings::CDlgSettings() : CDialog(IDD_SETTINGS)
{
    HKEY key = nullptr;
    if (openProfileKey(&key) == ERROR_SUCCESS) {
        char stored[kStoredValueBuffer] = {};
        DWORD size = kStoredValueBuffer - 1;
        DWORD type = 0;
        if (RegQueryValueExA(key, "COM", nullptr, &type, reinterpret_cast<BYTE*>(stored), &size) == ERROR_SUCCESS)
            portNumber = clampedPortNumber(stored);
        if (testPort()) {
            probe();
            link.closePort();
        }
        RegCloseKey(key);
    }
    backgroundBrush = CreateSolidBrush(kSettingsBackground);
}

CDlgSettings::~CDlgSettings()
{
    DeleteObject(backgroundBrush);
}

bool CDlgSettings::testPort()
{
    if (!link.openPort(portNumber))
        return false;
    link.command = kHandshakeCommand;
    sendCommand();
    readReply(kHandshakeReplyLength);
    if (link.replyEquals(kHandshakeReply))
        return true;
    link.closePort();
    return false;
}

void CDlgSettings::savePortNumber()
{
    HKEY key = nullptr;
    if (openProfileKey(&key) != ERROR_SUCCESS)
        return;
    char text[16];
    std::snprintf(text, sizeof text, "%i", portNumber);
    setRegistryString(key, "COM", text);
    RegCloseKey(key);
}

void CDlgSettings::sendCommand()
{
    link.sendCommand();
}

void CDlgSettings::readReply(std::uint32_t count)
{
    link.readReply(count);
}

void CDlgSettings::query(const char* command, std::uint32_t count)
{
    link.command = command;
    sendCommand();
    readReply(count);
}

void CDlgSettings::probe()
{
    const char* reply = link.reply;

    query(kMountInfoCommand, kMountInfoReplyLength);
    setupModel = modelFromMountInfo(reply);
    modelText = modelName(setupModel);

    query(":GR#", timeReplyLength(setupModel));
    scanReply(reply, "%02d:%02d:%lf#", &hours, &minutes, &exactSeconds);
    rightAscensionText = format("%02dh%02dm%02ds", hours, minutes, roundedSeconds(exactSeconds));

    query(":GD#", 10);
    scanReply(reply, "%c%02d*%02d:%02d#", &sign, &degrees, &minutes, &seconds);
    declinationText = format("%c%02dd%02dm%02ds", sign, degrees, minutes, seconds);

    query(":GA#", 10);
    scanReply(reply, "%c%02d*%02d:%02d#", &sign, &degrees, &minutes, &seconds);
    altitudeText = format("%c%02dd%02dm%02ds", sign, degrees, minutes, seconds);

    query(":GZ#", 10);
    scanReply(reply, "%03d*%02d:%02d#", &degrees, &minutes, &seconds);
    azimuthText = format("%03dd%02dm%02ds", degrees, minutes, seconds);

    query(":GL#", 9);
    scanReply(reply, "%02d:%02d:%02d#", &hours, &minutes, &seconds);
    localTimeText = format("%02dh%02dm%02ds", hours, minutes, seconds);

    query(":GG#", setupModel == 1 ? 8 : setupModel == 2 ? 10 : 7);
    if (setupModel == 1) {
        scanReply(reply, "%c%d:%d#", &sign, &hours, &minutes);
        sign = sign == 'E' ? '-' : '+';
    } else if (setupModel == 2) {
        scanReply(reply, "%c%d:%d:%d#", &sign, &hours, &minutes, &seconds);
    } else {
        scanReply(reply, "%c%d:%d#", &sign, &hours, &minutes);
    }
    // Whatever this scan converts wins: the reply's own first character shows.
    scanReply(reply, "%c%02d:%02d#", &sign, &hours, &minutes);
    timeZoneText = format("%c%02dh%02dm", sign, hours, minutes);

    query(":Gt#", 10);
    scanReply(reply, "%c%02d*%02d:%02d#", &sign, &degrees, &minutes, &seconds);
    latitudeText = format("%02dd%02dm%02ds", degrees, minutes, seconds) + (sign == '-' ? " S" : " N");

    query(":Gg#", 11);
    scanReply(reply, "%c%03d*%02d:%02d#", &sign, &degrees, &minutes, &seconds);
    longitudeText = format("%03dd%02dm%02ds", degrees, minutes, seconds) + (sign == '-' ? " W" : " E");
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
    if (testPort()) {
        link.closePort();
        return;
    }
    char message[64];
    std::snprintf(message, sizeof message, "Cannot open port COM%i!", portNumber);
    MessageBoxA(hwnd, message, "Velmaro Telescope", MB_OK | MB_ICONEXCLAMATION);
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
