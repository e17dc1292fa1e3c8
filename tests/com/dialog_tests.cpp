// The setup dialog, shown by the registered driver's SetupDialog on the
// test's main thread and worked from a second thread as a user would: its
// texts, the port list, Cancel, Apply, OK and the look of its buttons, read
// back from the real window.
#include "ComTest.h"
#include "Profile.h"
#include "TraceCheck.h"
#include "resource.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <functional>
#include <thread>

namespace {

const char kTitle[] = "Velmaro Telescope ASCOM Driver 2.1";
constexpr COLORREF kBackground = RGB(210, 230, 190);

// What a test that sees no dialog needs to know next: whether this process
// can make a window at all, and on which display.
std::string windowingState()
{
    HWND probe = CreateWindowExA(0, "STATIC", "probe", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    DWORD error = probe ? 0 : GetLastError();
    if (probe)
        DestroyWindow(probe);
    char display[64] = {};
    GetEnvironmentVariableA("DISPLAY", display, sizeof display);
    return std::string(" (a plain window ") + (probe ? "can" : "cannot") + " be made here, error "
           + std::to_string(error) + ", DISPLAY '" + display + "')";
}

// Polls until `found` gives something or the time runs out.
template <typename F>
auto waitFor(F found, int timeoutMs = 5000) -> decltype(found())
{
    for (int waited = 0;; waited += 20) {
        auto result = found();
        if (result || waited >= timeoutMs)
            return result;
        Sleep(20);
    }
}

std::string itemText(HWND dialog, int id)
{
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

std::string storedPort()
{
    StoredString stored = readString(HKEY_LOCAL_MACHINE, kProfileKeyPath, "COM", KEY_WOW64_32KEY);
    EXPECT_TRUE(!stored.found || storedWithoutNul(stored)) << stored.bytes;
    return stored.text;
}

// A message box of the dialog's thread: a second dialog-class window.
struct BoxSearch {
    HWND dialog;
    HWND found;
};
BOOL CALLBACK findBox(HWND window, LPARAM search)
{
    auto* box = reinterpret_cast<BoxSearch*>(search);
    char className[16] = {};
    GetClassNameA(window, className, sizeof className);
    if (window != box->dialog && IsWindowVisible(window) && std::string(className) == "#32770") {
        box->found = window;
        return FALSE;
    }
    return TRUE;
}
HWND messageBox(HWND dialog)
{
    BoxSearch search{dialog, nullptr};
    EnumThreadWindows(GetWindowThreadProcessId(dialog, nullptr), findBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

BOOL CALLBACK collectStaticText(HWND window, LPARAM texts)
{
    char className[16] = {}, text[256] = {};
    GetClassNameA(window, className, sizeof className);
    if (std::string(className) == "Static" && GetWindowTextA(window, text, sizeof text) > 0)
        *reinterpret_cast<std::string*>(texts) += text;
    return TRUE;
}

// Waits for the message box, reads its text and presses its OK.
std::string answerMessageBox(HWND dialog)
{
    HWND box = waitFor([&] { return messageBox(dialog); });
    if (!box)
        return "(no message box)";
    std::string text;
    EnumChildWindows(box, collectStaticText, reinterpret_cast<LPARAM>(&text));
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    waitFor([&] { return !IsWindow(box); });
    return text;
}

// Picks an entry of the port list as a user's click does.
void choosePort(HWND dialog, int port)
{
    HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    SendMessageA(list, CB_SETCURSEL, WPARAM(port - 1), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDC_PORT_LIST, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

void click(HWND dialog, int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// Returns once the dialog's thread has handled everything sent before: a
// message box it opens meanwhile exists by then.
void settle(HWND dialog)
{
    DWORD_PTR ignored;
    SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &ignored);
}

class Dialog : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        storePort("1");
        telescope = createTelescope();
        ASSERT_NE(telescope, nullptr);
        mount.forget();
    }
    void TearDown() override
    {
        storePort("1");
        DriverTest::TearDown();
    }

    // SetupDialog on this thread; `drive` works the dialog from another and
    // must close it. Anything it leaves open is cancelled.
    void showDialog(const std::function<void(HWND)>& drive)
    {
        std::atomic<bool> returned{false};
        std::thread user([&] {
            auto shown = [] {
                HWND window = FindWindowA("#32770", kTitle);
                return window && IsWindowVisible(window) ? window : nullptr;
            };
            waitFor([&] { return returned || shown(); });
            HWND dialog = shown();
            if (!dialog) {
                ADD_FAILURE() << "the dialog did not appear" << windowingState();
                return;
            }
            settle(dialog);
            drive(dialog);
            if (waitFor([&] { return returned.load(); }, 3000))
                return;
            ADD_FAILURE() << "the dialog stayed open";
            while (!returned) {
                if (HWND box = messageBox(dialog))
                    PostMessageA(box, WM_COMMAND, IDOK, 0);
                PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
                Sleep(100);
            }
        });
        EXPECT_EQ(telescope->SetupDialog(), S_OK);
        returned = true;
        user.join();
    }

    ITelescopeV3* telescope = nullptr;
};

const int kTextIds[] = {IDC_MODEL,       IDC_LOCAL_TIME, IDC_TIME_ZONE, IDC_RIGHT_ASCENSION, IDC_DECLINATION,
                        IDC_ALTITUDE,    IDC_AZIMUTH,    IDC_LATITUDE,  IDC_LONGITUDE};

TEST_F(Dialog, ShowsTheProbeAndStoresOnlyWhatIsApplied)
{
    // Cancel after choosing COM7 stores nothing.
    showDialog([&](HWND dialog) {
        const char* expected[] = {"Corvane A/Corvane B", "20h30m00s",  "-05h00m",     "05h34m32s",   "+22d00m52s",
                                  "+45d30m00s",          "123d45m06s", "33d52m04s S", "151d12m30s E"};
        for (std::size_t i = 0; i < std::size(kTextIds); ++i)
            EXPECT_EQ(itemText(dialog, kTextIds[i]), expected[i]) << kTextIds[i];
        HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
        ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 16);
        for (int port = 1; port <= 16; ++port) {
            char item[16] = {};
            SendMessageA(list, CB_GETLBTEXT, WPARAM(port - 1), reinterpret_cast<LPARAM>(item));
            EXPECT_EQ(item, "COM" + std::to_string(port));
        }
        choosePort(dialog, 7);
        click(dialog, IDCANCEL);
    });
    EXPECT_EQ(storedPort(), "1");

    // Apply stores the port before testing it: a port without a mount is
    // reported and stays stored. Apply on the mount's port tests it quietly,
    // and OK (which applies too) closes the dialog.
    showDialog([&](HWND dialog) {
        mount.forget();
        choosePort(dialog, 7);
        click(dialog, IDC_APPLY);
        HWND box = waitFor([&] { return messageBox(dialog); });
        EXPECT_EQ(storedPort(), "7");
        EXPECT_NE(box, nullptr);
        EXPECT_EQ(answerMessageBox(dialog), "Cannot open port COM7!");
        EXPECT_TRUE(mount.commands().empty());

        choosePort(dialog, 1);
        click(dialog, IDC_APPLY);
        EXPECT_TRUE(mount.waitForCommands(1));
        settle(dialog);
        EXPECT_EQ(messageBox(dialog), nullptr);
        EXPECT_EQ(storedPort(), "1");

        click(dialog, IDOK);
        EXPECT_TRUE(mount.waitForCommands(2));
    });
    EXPECT_EQ(mount.commands(), (std::vector<std::string>{":V#", ":V#"}));
    EXPECT_EQ(storedPort(), "1");
}

TEST_F(Dialog, OpensOnTheStoredPortAndFollowsTheChoice)
{
    storePort("5");
    showDialog([&](HWND dialog) {
        EXPECT_EQ(SendDlgItemMessageA(dialog, IDC_PORT_LIST, CB_GETCURSEL, 0, 0), 4);
        // No mount on COM5: nothing to show.
        for (int id : kTextIds)
            EXPECT_EQ(itemText(dialog, id), "") << id;
        choosePort(dialog, 12);
        click(dialog, IDOK);
        EXPECT_EQ(answerMessageBox(dialog), "Cannot open port COM12!");
    });
    EXPECT_EQ(storedPort(), "12");
}

TEST_F(Dialog, APortHeldByTheDriverLeavesTheTextsEmpty)
{
    if (runningUnderWine())
        GTEST_SKIP() << "Wine lets a second handle open a COM port that is already open (Windows refuses: share "
                        "mode 0), so under Wine the dialog's probe reaches the mount through the driver's port";
    ASSERT_EQ(telescope->put_Connected(VARIANT_TRUE), S_OK);
    mount.forget();
    showDialog([&](HWND dialog) {
        for (int id : kTextIds)
            EXPECT_EQ(itemText(dialog, id), "") << id;
        click(dialog, IDC_APPLY);
        EXPECT_EQ(answerMessageBox(dialog), "Cannot open port COM1!");
        click(dialog, IDCANCEL);
    });
    EXPECT_TRUE(mount.commands().empty());
    EXPECT_EQ(telescope->put_Connected(VARIANT_FALSE), S_OK);
}

// The trace switch: a check box below the other controls, which keep their
// places; OK and Apply store it, Cancel does not, and the next connect
// traces. Model 3, whose tracking query is acknowledged.
class TraceDialog : public Dialog {
protected:
    TraceDialog() { model = 3; }
    void SetUp() override
    {
        ASSERT_TRUE(folder.ready());
        storeTraceValue(nullptr);
        Dialog::SetUp();
    }
    void TearDown() override
    {
        Dialog::TearDown();
        storeTraceValue(nullptr);
    }

    TraceFolder folder;
};

bool checked(HWND dialog)
{
    return IsDlgButtonChecked(dialog, IDC_TRACE) == BST_CHECKED;
}

TEST_F(TraceDialog, TheCheckBoxBelowTheControlsSwitchesTheTraceOn)
{
    showDialog([&](HWND dialog) {
        HWND box = GetDlgItem(dialog, IDC_TRACE);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(itemText(dialog, IDC_TRACE), "Trace the mount's traffic");
        EXPECT_EQ(GetWindowLongA(box, GWL_STYLE) & BS_TYPEMASK, BS_AUTOCHECKBOX);
        EXPECT_TRUE(IsWindowVisible(box) && IsWindowEnabled(box));
        EXPECT_FALSE(checked(dialog));

        // The other controls where the template has always put them (dialog
        // units), the box below the lowest of them and inside the window.
        auto placed = [&](int id) {
            RECT area;
            GetWindowRect(GetDlgItem(dialog, id), &area);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&area), 2);
            return area;
        };
        auto units = [&](int x, int y, int w, int h) {
            RECT area{x, y, x + w, y + h};
            MapDialogRect(dialog, &area);
            return area;
        };
        const struct {
            int id;
            RECT expected;
        } kept[] = {{IDOK, units(107, 201, 50, 14)},
                    {IDCANCEL, units(219, 201, 50, 14)},
                    {IDC_APPLY, units(163, 201, 50, 14)},
                    {IDC_LONGITUDE, units(63, 175, 74, 14)},
                    {IDC_MODEL, units(68, 23, 192, 14)}};
        for (const auto& control : kept) {
            RECT area = placed(control.id);
            EXPECT_TRUE(EqualRect(&area, &control.expected)) << control.id;
        }
        RECT boxArea = placed(IDC_TRACE), client;
        GetClientRect(dialog, &client);
        EXPECT_GE(boxArea.top, placed(IDOK).bottom);
        EXPECT_LE(boxArea.bottom, client.bottom);

        // A posted click: a message sent meanwhile may be handled first.
        click(dialog, IDC_TRACE);
        EXPECT_TRUE(waitFor([&] { return checked(dialog); }, 3000));
        click(dialog, IDCANCEL);
    });
    EXPECT_EQ(storedTraceValue(), "(none)");

    // Apply stores it, OK too.
    showDialog([&](HWND dialog) {
        EXPECT_FALSE(checked(dialog));
        mount.forget();
        click(dialog, IDC_TRACE);
        click(dialog, IDC_APPLY);
        EXPECT_TRUE(mount.waitForCommands(1));
        settle(dialog);
        EXPECT_EQ(messageBox(dialog), nullptr);
        EXPECT_EQ(storedTraceValue(), "true");
        click(dialog, IDC_TRACE);
        click(dialog, IDOK);
    });
    EXPECT_EQ(storedTraceValue(), "false");
    EXPECT_TRUE(folder.files().empty()) << "the dialog's probe is no connection";

    showDialog([&](HWND dialog) {
        EXPECT_FALSE(checked(dialog));
        click(dialog, IDC_TRACE);
        click(dialog, IDOK);
    });
    EXPECT_EQ(storedTraceValue(), "true");
    showDialog([&](HWND dialog) {
        EXPECT_TRUE(checked(dialog));
        click(dialog, IDCANCEL);
    });

    // It takes effect at the next connect.
    expectTracedSession(telescope, mount, folder);
}

// The dialog's client area (or the whole window with its frame), read back
// from the window itself.
class Screenshot {
public:
    explicit Screenshot(HWND window, bool withFrame = false) : window(window)
    {
        RECT area;
        if (withFrame) {
            GetWindowRect(window, &area);
            OffsetRect(&area, -area.left, -area.top);
        } else {
            GetClientRect(window, &area);
        }
        width = area.right;
        height = area.bottom;
        BITMAPINFO info{};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        HDC screen = withFrame ? GetWindowDC(window) : GetDC(window);
        HDC memory = CreateCompatibleDC(screen);
        void* bits = nullptr;
        HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
        HGDIOBJ previous = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
        GdiFlush();
        const auto* words = static_cast<const std::uint32_t*>(bits);
        pixels.assign(words, words + std::size_t(width) * height);
        SelectObject(memory, previous);
        DeleteObject(bitmap);
        DeleteDC(memory);
        ReleaseDC(window, screen);
    }

    // A pixel of `control`, in the control's own coordinates.
    COLORREF at(HWND control, int x, int y) const
    {
        POINT point{x, y};
        MapWindowPoints(control, window, &point, 1);
        if (point.x < 0 || point.y < 0 || point.x >= width || point.y >= height)
            return CLR_INVALID;
        std::uint32_t word = pixels[std::size_t(point.y) * width + point.x];
        return RGB((word >> 16) & 0xff, (word >> 8) & 0xff, word & 0xff);
    }

    // Writes a 24-bit .bmp when VELMARO_SCREENSHOTS names a directory.
    void keep(const char* name) const
    {
        const char* directory = std::getenv("VELMARO_SCREENSHOTS");
        if (!directory)
            return;
        FILE* file = std::fopen((std::string(directory) + "\\" + name + ".bmp").c_str(), "wb");
        if (!file)
            return;
        int rowBytes = (width * 3 + 3) & ~3;
        BITMAPINFOHEADER info{sizeof info, width, height, 1, 24, BI_RGB, DWORD(rowBytes * height), 0, 0, 0, 0};
        BITMAPFILEHEADER header{0x4d42, DWORD(sizeof header + sizeof info + info.biSizeImage), 0, 0,
                                DWORD(sizeof header + sizeof info)};
        std::fwrite(&header, sizeof header, 1, file);
        std::fwrite(&info, sizeof info, 1, file);
        std::vector<std::uint8_t> row(std::size_t(rowBytes), 0);
        for (int y = height - 1; y >= 0; --y) {
            for (int x = 0; x < width; ++x)
                std::memcpy(&row[std::size_t(x) * 3], &pixels[std::size_t(y) * width + x], 3);
            std::fwrite(row.data(), row.size(), 1, file);
        }
        std::fclose(file);
    }

private:
    HWND window;
    int width = 0;
    int height = 0;
    std::vector<std::uint32_t> pixels;
};

// Paints the window and its children now, on the dialog's thread.
void redraw(HWND window)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

// Shade i of the button's 64, by whether the mouse rests on it and whether
// it is highlighted (focused, pressed or default).
COLORREF shade(bool hover, bool highlighted, int i)
{
    int redGreen = 255 - i / (hover ? 4 : 3);
    int blue = 255 - i / (highlighted ? (hover ? 3 : 4) : 5);
    return RGB(redGreen, redGreen, blue);
}

enum class Edges { none, orange, blue };

struct Look {
    bool hover;
    bool highlighted;
    Edges edges;
};

// Checks a button's outline, shading and edges at a few pixels. The shading
// rows count in the button's own coordinates, so row y has shade
// y * 63 / (inner height), 63 at most; a column near the left edge is clear
// of the text. Wide pens are centred on their line, an even width reaching
// one pixel up or left; the dotted focus rectangle lies on the inner
// rectangle's border.
void expectLook(const Screenshot& shot, HWND button, const Look& look)
{
    RECT client;
    GetClientRect(button, &client);
    const int w = client.right, h = client.bottom;
    const int ex = GetSystemMetrics(SM_CXEDGE), ey = GetSystemMetrics(SM_CYEDGE);
    const int inner = h - 2 * ey, x = ex + 4;
    auto rowShade = [&](int y) { return shade(look.hover, look.highlighted, std::min(63, y * 63 / inner)); };

    for (POINT outline : {POINT{w / 2, 0}, POINT{0, h / 2}, POINT{w - 1, h / 2}, POINT{w / 2, h - 1}})
        EXPECT_EQ(shot.at(button, outline.x, outline.y), RGB(0, 0, 0)) << outline.x << ',' << outline.y;
    EXPECT_EQ(shot.at(button, x, ey + 2), rowShade(ey + 2));
    EXPECT_EQ(shot.at(button, x, h / 2), rowShade(h / 2));
    EXPECT_EQ(shot.at(button, x, inner), shade(look.hover, look.highlighted, 63));

    switch (look.edges) {
    case Edges::none:
        EXPECT_EQ(shot.at(button, x, ey), rowShade(ey));
        EXPECT_EQ(shot.at(button, ex, h / 2), rowShade(h / 2));
        break;
    case Edges::orange:
        EXPECT_EQ(shot.at(button, ex, h / 2), RGB(250, 196, 88));
        EXPECT_EQ(shot.at(button, w - ex - 1, h / 2), RGB(251, 202, 106));
        EXPECT_EQ(shot.at(button, x, ey), RGB(252, 210, 121));
        EXPECT_EQ(shot.at(button, x, h - ey), RGB(229, 151, 0));
        // No focus rectangle: the top edge is one colour.
        EXPECT_EQ(shot.at(button, x + 1, ey), RGB(252, 210, 121));
        break;
    case Edges::blue:
        EXPECT_EQ(shot.at(button, ex + 1, h / 2), RGB(153, 198, 252));
        EXPECT_EQ(shot.at(button, w - ex - 2, h / 2), RGB(162, 189, 252));
        EXPECT_EQ(shot.at(button, x, ey - 1), RGB(162, 201, 255));
        EXPECT_EQ(shot.at(button, x, h - ey), RGB(162, 201, 255));
        // The dotted focus rectangle: neighbours on its line differ.
        EXPECT_NE(shot.at(button, x, ey), shot.at(button, x + 1, ey));
        break;
    }
}

// The text's box (dark pixels inside the edges) and whether its pixels
// include `colour`.
struct Text {
    RECT box{INT_MAX, INT_MAX, -1, -1};
    bool has(COLORREF) const;
    std::vector<COLORREF> colours;
};
bool Text::has(COLORREF colour) const
{
    return std::find(colours.begin(), colours.end(), colour) != colours.end();
}
Text textOf(const Screenshot& shot, HWND button)
{
    RECT client;
    GetClientRect(button, &client);
    const int ex = GetSystemMetrics(SM_CXEDGE), ey = GetSystemMetrics(SM_CYEDGE);
    Text text;
    for (int y = ey + 2; y < client.bottom - ey - 2; ++y)
        for (int x = ex + 3; x < client.right - ex - 3; ++x) {
            COLORREF colour = shot.at(button, x, y);
            text.colours.push_back(colour);
            if (GetRValue(colour) < 128 && GetGValue(colour) < 128 && GetBValue(colour) < 128) {
                text.box.left = std::min<LONG>(text.box.left, x);
                text.box.top = std::min<LONG>(text.box.top, y);
                text.box.right = std::max<LONG>(text.box.right, x);
                text.box.bottom = std::max<LONG>(text.box.bottom, y);
            }
        }
    return text;
}

// Whether a shot shows `button`'s left edge, mid-height, in `colour`.
auto edgeIs(HWND button, COLORREF colour)
{
    return [=](const Screenshot& shot) {
        RECT client;
        GetClientRect(button, &client);
        return shot.at(button, GetSystemMetrics(SM_CXEDGE), client.bottom / 2) == colour;
    };
}

POINT centreOf(HWND window)
{
    RECT area;
    GetWindowRect(window, &area);
    return {(area.left + area.right) / 2, (area.top + area.bottom) / 2};
}

// Puts the pointer on the window's centre by way of a point beside it, so
// that the pointer moves even where Wine's record of it already says the
// centre (a record a previous program on the display left behind, which
// the display itself has since lost).
void pointAt(HWND window)
{
    POINT centre = centreOf(window);
    SetCursorPos(centre.x + 1, centre.y + 1);
    SetCursorPos(centre.x, centre.y);
}

// Until the shot shows `check`, or 3 s: the pointer put back on `window`
// whenever it is not there (a move of the display's pointer can be lost
// while the machine is busy), so what is waited for is the button's own
// answer to a pointer that rests on it.
template <typename F>
Screenshot shotWithThePointerOn(HWND dialog, HWND window, F check)
{
    pointAt(window);
    for (int waited = 0;; waited += 50) {
        Screenshot shot(dialog);
        if (check(shot) || waited >= 3000)
            return shot;
        POINT now{}, centre = centreOf(window);
        if (!GetCursorPos(&now) || now.x != centre.x || now.y != centre.y)
            pointAt(window);
        Sleep(50);
    }
}

TEST_F(Dialog, ButtonsPaintEachStateWithTheirShadesAndEdges)
{
    showDialog([&](HWND dialog) {
        HWND ok = GetDlgItem(dialog, IDOK), cancel = GetDlgItem(dialog, IDCANCEL);
        HWND apply = GetDlgItem(dialog, IDC_APPLY), list = GetDlgItem(dialog, IDC_PORT_LIST);
        const Look idle{false, false, Edges::none}, byDefault{false, true, Edges::none};

        // Opened: OK, first in the tab order, has the focus.
        redraw(dialog);
        Screenshot opened(dialog);
        Screenshot(dialog, true).keep("dialog-opened");
        expectLook(opened, ok, {false, true, Edges::blue});
        expectLook(opened, apply, idle);
        expectLook(opened, cancel, idle);
        EXPECT_EQ(opened.at(dialog, 3, 3), kBackground);
        EXPECT_EQ(opened.at(GetDlgItem(dialog, IDC_MODEL), 300, 5), kBackground);

        // Focus in the list: OK is still the default button.
        SendMessageA(dialog, WM_NEXTDLGCTL, WPARAM(list), TRUE);
        redraw(dialog);
        Screenshot listFocused(dialog);
        expectLook(listFocused, ok, byDefault);
        expectLook(listFocused, cancel, idle);

        SendMessageA(dialog, WM_NEXTDLGCTL, WPARAM(cancel), TRUE);
        redraw(dialog);
        Screenshot cancelFocused(dialog);
        cancelFocused.keep("dialog-focused");
        expectLook(cancelFocused, cancel, {false, true, Edges::blue});
        expectLook(cancelFocused, ok, byDefault);
        Text plain = textOf(cancelFocused, apply);

        // The mouse on Apply, then on the focused Cancel, then away.
        Screenshot hovered = shotWithThePointerOn(dialog, apply, edgeIs(apply, RGB(250, 196, 88)));
        hovered.keep("dialog-hovered");
        expectLook(hovered, apply, {true, false, Edges::orange});
        Screenshot hoveredFocused = shotWithThePointerOn(dialog, cancel, edgeIs(cancel, RGB(250, 196, 88)));
        expectLook(hoveredFocused, cancel, {true, true, Edges::orange});
        expectLook(hoveredFocused, apply, idle);
        Screenshot left = shotWithThePointerOn(dialog, GetDlgItem(dialog, IDC_MODEL), edgeIs(cancel, RGB(153, 198, 252)));
        expectLook(left, cancel, {false, true, Edges::blue});

        // Pressed: highlighted, the text one pixel right and down.
        SendMessageA(apply, BM_SETSTATE, TRUE, 0);
        redraw(dialog);
        Screenshot pressed(dialog);
        pressed.keep("dialog-pressed");
        expectLook(pressed, apply, byDefault);
        Text moved = textOf(pressed, apply);
        EXPECT_EQ(moved.box.left, plain.box.left + 1);
        EXPECT_EQ(moved.box.top, plain.box.top + 1);
        EXPECT_EQ(moved.box.right, plain.box.right + 1);
        EXPECT_EQ(moved.box.bottom, plain.box.bottom + 1);
        SendMessageA(apply, BM_SETSTATE, FALSE, 0);

        // Disabled: the same shading, the text greyed instead of black.
        EnableWindow(apply, FALSE);
        redraw(dialog);
        Screenshot disabled(dialog);
        disabled.keep("dialog-disabled");
        expectLook(disabled, apply, idle);
        Text greyed = textOf(disabled, apply);
        EXPECT_TRUE(plain.has(RGB(0, 0, 0)));
        EXPECT_FALSE(greyed.has(RGB(0, 0, 0)));
        EXPECT_TRUE(greyed.has(GetSysColor(COLOR_3DSHADOW)) || greyed.has(GetSysColor(COLOR_GRAYTEXT)));

        click(dialog, IDCANCEL);
    });
}

// A mouse move can reach a button while the pointer is already elsewhere
// (Wine delivers the move before the pointer it reports has followed). The
// system then tracks nothing for the button; once the pointer does come,
// the button must ask for tracking again and light up.
TEST_F(Dialog, AButtonLightsUpAfterAMoveThatCameWhileThePointerWasElsewhere)
{
    showDialog([&](HWND dialog) {
        HWND apply = GetDlgItem(dialog, IDC_APPLY), model = GetDlgItem(dialog, IDC_MODEL);
        pointAt(model);
        SendMessageA(apply, WM_MOUSEMOVE, 0, MAKELPARAM(5, 5));
        redraw(dialog);
        expectLook(Screenshot(dialog), apply, {false, false, Edges::none});

        expectLook(shotWithThePointerOn(dialog, apply, edgeIs(apply, RGB(250, 196, 88))), apply, {true, false, Edges::orange});
        click(dialog, IDCANCEL);
    });
}

}  // namespace
