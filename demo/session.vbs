' A client session as an astronomer's script would run it: the driver is
' created by its ProgID and called by name through IDispatch.
Option Explicit

Dim telescope
Set telescope = CreateObject("Velmaro.Telescope")

' Prints a property, or the error the driver reported for it.
Sub Show(label, expression)
    Dim value
    On Error Resume Next
    value = Eval(expression)
    If Err.Number <> 0 Then
        WScript.Echo Left(label & ":" & Space(26), 26) & "error 0x" & Hex(Err.Number) & " " & Err.Description
    Else
        WScript.Echo Left(label & ":" & Space(26), 26) & CStr(value)
    End If
    On Error GoTo 0
End Sub

' Runs a statement and says how it went.
Sub Run(label, statement)
    On Error Resume Next
    Execute statement
    If Err.Number <> 0 Then
        WScript.Echo Left(label & Space(26), 26) & "error 0x" & Hex(Err.Number) & " " & Err.Description
    Else
        WScript.Echo Left(label & Space(26), 26) & "done"
    End If
    On Error GoTo 0
End Sub

Function Hms(hours)
    Dim h, m, s
    h = Int(hours) : m = Int((hours - h) * 60) : s = Round(((hours - h) * 60 - m) * 60, 1)
    Hms = Right("0" & h, 2) & "h" & Right("0" & m, 2) & "m" & s & "s"
End Function

Show "Name", "telescope.Name"
Show "DriverInfo", "telescope.DriverInfo"
Show "DriverVersion", "telescope.DriverVersion"
Show "InterfaceVersion", "telescope.InterfaceVersion"

Run "Connect", "telescope.Connected = True"
Show "Connected", "telescope.Connected"

WScript.Echo
WScript.Echo "-- Where the mount points and stands"
Show "RightAscension (h)", "telescope.RightAscension"
Show "  as text", "Hms(telescope.RightAscension)"
Show "Declination (deg)", "telescope.Declination"
Show "Altitude (deg)", "telescope.Altitude"
Show "Azimuth (deg)", "telescope.Azimuth"
Show "SiderealTime (h)", "telescope.SiderealTime"
Show "UTCDate", "telescope.UTCDate"
Show "SiteLatitude (deg)", "telescope.SiteLatitude"
Show "SiteLongitude (deg)", "telescope.SiteLongitude"
Show "SideOfPier", "telescope.SideOfPier"
Show "AlignmentMode", "telescope.AlignmentMode"

WScript.Echo
WScript.Echo "-- What it can do"
Dim capability
For Each capability In Array("CanPark", "CanUnpark", "CanFindHome", "CanPulseGuide", "CanSetGuideRates", _
                             "CanSetTracking", "CanSlew", "CanSlewAsync", "CanSlewAltAz", "CanSync", "CanSyncAltAz")
    Show capability, "telescope." & capability
Next

WScript.Echo
WScript.Echo "-- Tracking and guiding"
Run "Tracking = True", "telescope.Tracking = True"
Show "Tracking", "telescope.Tracking"
Show "TrackingRate", "telescope.TrackingRate"
Show "GuideRateDeclination", "telescope.GuideRateDeclination"
Run "PulseGuide north 500 ms", "telescope.PulseGuide 0, 500"
Show "IsPulseGuiding", "telescope.IsPulseGuiding"

WScript.Echo
WScript.Echo "-- Slewing and syncing"
Dim targetRa, targetDec
targetRa = telescope.SiderealTime - 0.5
If targetRa < 0 Then targetRa = targetRa + 24
targetDec = 35
Run "SlewToCoordinatesAsync", "telescope.SlewToCoordinatesAsync targetRa, targetDec"
Show "Slewing", "telescope.Slewing"
' Each read of Slewing asks the mount, which paces the loop.
Dim polls
polls = 0
Do While telescope.Slewing And polls < 400
    polls = polls + 1
Loop
Show "Slewing", "telescope.Slewing"
Show "RightAscension (h)", "telescope.RightAscension"
Show "Declination (deg)", "telescope.Declination"
Run "SyncToCoordinates", "telescope.SyncToCoordinates telescope.RightAscension, telescope.Declination"
Run "SlewToCoordinates", "telescope.SlewToCoordinates targetRa, 20"
Show "Declination (deg)", "telescope.Declination"
Run "SlewToCoordinatesAsync", "telescope.SlewToCoordinatesAsync targetRa, 50"
Run "AbortSlew", "telescope.AbortSlew"
Show "Slewing", "telescope.Slewing"
Show "Declination (deg)", "telescope.Declination"

WScript.Echo
WScript.Echo "-- Parking"
Run "Park", "telescope.Park"
polls = 0
Do While Not telescope.AtPark And polls < 400
    polls = polls + 1
Loop
Show "AtPark", "telescope.AtPark"
Run "SlewToCoordinates (parked)", "telescope.SlewToCoordinates 1, 2"
Run "Unpark", "telescope.Unpark"
Show "AtPark", "telescope.AtPark"

Run "Disconnect", "telescope.Connected = False"
Show "Connected", "telescope.Connected"
