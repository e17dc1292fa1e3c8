// The settings object and setup dialog: the stored serial port and what the
// mount on it reports about itself. Building one reads the port and probes
// the mount; DoModal shows the dialog where the user chooses the port.
#pragma once

#include "CommandChannel.h"
#include "Dialog.h"
#include "XPButton.h"

#include <cstdint>
#include <string>

class CDlgSettings : public CDialog {
public:
    CDlgSettings();
    ~CDlgSettings() override;
    CDlgSettings(const CDlgSettings&) = delete;
    CDlgSettings& operator=(const CDlgSettings&) = delete;

    // True when a mount answers the handshake on portNumber; the port is
    // then left open for the caller.
    bool testPort();
    // Stores portNumber as the profile's value "COM".
    void savePortNumber();

    // The port used when none is stored: the first one.
    static constexpr int kDefaultPort = 1;
    static constexpr int kFirstPort = 1;
    static constexpr int kLastPort = 16;

    int portNumber = kDefaultPort;
    std::string modelText;
    std::string latitudeText;
    std::string longitudeText;
    std::string localTimeText;
    std::string timeZoneText;
    std::string rightAscensionText;
    std::string declinationText;
    std::string azimuthText;
    std::string altitudeText;

protected:
    BOOL OnInitDialog() override;
    bool DoDataExchange(bool saving) override;
    void OnOK() override;
    bool OnCommand(WORD id, WORD code, HWND control) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

    void OnPortSelected();
    // Stores the chosen port, then tells the user when no mount answers on it.
    void OnApply();
    void OnPaint();
    HBRUSH OnCtlColor(HDC dc);

private:
    void probe();
    void sendCommand();
    void readReply(std::uint32_t count);
    void query(const char* command, std::uint32_t count);

    CommandChannel link;
    char sign = 0;
    int hours = 0;
    int minutes = 0;
    int seconds = 0;
    int degrees = 0;
    double exactSeconds = 0.0;

    CXPButton applyButton;
    CXPButton cancelButton;
    CXPButton okButton;
    CComboBox portList;
    HBRUSH backgroundBrush = nullptr;
};

// The dialog's background, behind its labels and read-only texts too.
constexpr COLORREF kSettingsBackground = RGB(210, 230, 190);

// The model found by the last probe (1 to 3), apart from the driver's.
extern int setupModel;

// Parses a stored port text: leading decimal digits with an optional sign
// (none gives 0), clamped to the ports the list offers.
int clampedPortNumber(const char* text);
