' A client session as an astronomer's script would run it: the driver is
' created by its ProgID and called by name through IDispatch.
Option Explicit

Dim telescope
Set telescope = CreateObject("Velmaro.Telescope")

' Every step runs under "resume next": a step the driver refuses prints the
' error it reported and the session goes on.
On Error Resume Next
Dim value

' Prints a value just read, or the error that reading it raised.
Sub Show(label)
    If Err.Number <> 0 Then
        WScript.Echo Left(label & ":" & Space(28), 28) & "error 0x" & Hex(Err.Number) & " " & Err.Description
    Else
        WScript.Echo Left(label & ":" & Space(28), 28) & CStr(value)
    End If
    Err.Clear
End Sub

' Says how the step just run went.
Sub Done(label)
    If Err.Number <> 0 Then
        WScript.Echo Left(label & Space(28), 28) & "error 0x" & Hex(Err.Number) & " " & Err.Description
    Else
        WScript.Echo Left(label & Space(28), 28) & "done"
    End If
    Err.Clear
End Sub

Function Hms(hours)
    Dim h, m, s
    h = Int(hours) : m = Int((hours - h) * 60) : s = Round(((hours - h) * 60 - m) * 60, 1)
    Hms = Right("0" & h, 2) & "h" & Right("0" & m, 2) & "m" & s & "s"
End Function

Err.Clear : value = telescope.Name : Show "Name"
Err.Clear : value = telescope.DriverInfo : Show "DriverInfo"
Err.Clear : value = telescope.DriverVersion : Show "DriverVersion"
Err.Clear : value = telescope.InterfaceVersion : Show "InterfaceVersion"

Err.Clear : telescope.Connected = True : Done "Connect"
Err.Clear : value = telescope.Connected : Show "Connected"

WScript.Echo
WScript.Echo "-- Where the mount points and stands"
Err.Clear : value = telescope.RightAscension : Show "RightAscension (h)"
Err.Clear : value = Hms(telescope.RightAscension) : Show "  as text"
Err.Clear : value = telescope.Declination : Show "Declination (deg)"
Err.Clear : value = telescope.Altitude : Show "Altitude (deg)"
Err.Clear : value = telescope.Azimuth : Show "Azimuth (deg)"
Err.Clear : value = telescope.SiderealTime : Show "SiderealTime (h)"
Err.Clear : value = telescope.UTCDate : Show "UTCDate"
Err.Clear : value = telescope.SiteLatitude : Show "SiteLatitude (deg)"
Err.Clear : value = telescope.SiteLongitude : Show "SiteLongitude (deg)"
Err.Clear : value = telescope.SideOfPier : Show "SideOfPier"
Err.Clear : value = telescope.AlignmentMode : Show "AlignmentMode"

WScript.Echo
WScript.Echo "-- What it can do"
Err.Clear : value = telescope.CanPark : Show "CanPark"
Err.Clear : value = telescope.CanUnpark : Show "CanUnpark"
Err.Clear : value = telescope.CanFindHome : Show "CanFindHome"
Err.Clear : value = telescope.CanPulseGuide : Show "CanPulseGuide"
Err.Clear : value = telescope.CanSetGuideRates : Show "CanSetGuideRates"
Err.Clear : value = telescope.CanSetTracking : Show "CanSetTracking"
Err.Clear : value = telescope.CanSlew : Show "CanSlew"
Err.Clear : value = telescope.CanSlewAsync : Show "CanSlewAsync"
Err.Clear : value = telescope.CanSlewAltAz : Show "CanSlewAltAz"
Err.Clear : value = telescope.CanSync : Show "CanSync"
Err.Clear : value = telescope.CanSyncAltAz : Show "CanSyncAltAz"

WScript.Echo
WScript.Echo "-- Tracking and guiding"
Err.Clear : telescope.Tracking = True : Done "Tracking = True"
Err.Clear : value = telescope.Tracking : Show "Tracking"
Err.Clear : value = telescope.TrackingRate : Show "TrackingRate"
Err.Clear : value = telescope.GuideRateDeclination : Show "GuideRateDeclination"
Err.Clear : telescope.PulseGuide 0, 500 : Done "PulseGuide north 500 ms"
Err.Clear : value = telescope.IsPulseGuiding : Show "IsPulseGuiding"

WScript.Echo
WScript.Echo "-- Slewing and syncing"
Dim targetRa, targetDec
targetRa = telescope.SiderealTime - 0.5
If targetRa < 0 Then targetRa = targetRa + 24
targetDec = 35
Err.Clear : telescope.SlewToCoordinatesAsync targetRa, targetDec : Done "SlewToCoordinatesAsync"
Err.Clear : value = telescope.Slewing : Show "Slewing"
' Each read of Slewing asks the mount, which paces the loop.
Dim polls
polls = 0
Do While telescope.Slewing And polls < 400
    polls = polls + 1
Loop
Err.Clear : value = telescope.Slewing : Show "Slewing"
Err.Clear : value = telescope.RightAscension : Show "RightAscension (h)"
Err.Clear : value = telescope.Declination : Show "Declination (deg)"
Err.Clear : telescope.SyncToCoordinates telescope.RightAscension, telescope.Declination : Done "SyncToCoordinates"
Err.Clear : telescope.SlewToCoordinates targetRa, 20 : Done "SlewToCoordinates"
Err.Clear : value = telescope.Declination : Show "Declination (deg)"
Err.Clear : telescope.SlewToCoordinatesAsync targetRa, 50 : Done "SlewToCoordinatesAsync"
Err.Clear : telescope.AbortSlew : Done "AbortSlew"
Err.Clear : value = telescope.Slewing : Show "Slewing"
Err.Clear : value = telescope.Declination : Show "Declination (deg)"

WScript.Echo
WScript.Echo "-- Parking"
Err.Clear : telescope.Park : Done "Park"
polls = 0
Do While Not telescope.AtPark And polls < 400
    polls = polls + 1
Loop
Err.Clear : value = telescope.AtPark : Show "AtPark"
Err.Clear : telescope.SlewToCoordinates 1, 2 : Done "SlewToCoordinates (parked)"
Err.Clear : telescope.Unpark : Done "Unpark"
Err.Clear : value = telescope.AtPark : Show "AtPark"

Err.Clear : telescope.Connected = False : Done "Disconnect"
Err.Clear : value = telescope.Connected : Show "Connected"
