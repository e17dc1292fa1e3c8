' An astronomer's script against the simulated mount: every check prints
' "ok" or "FAIL" with what it saw; the shell side counts them.
Option Explicit

Dim telescope, model
model = CInt(WScript.Arguments(0))

Sub Check(label, condition, seen)
    If condition Then
        WScript.Echo "ok   " & label
    Else
        WScript.Echo "FAIL " & label & " (saw " & seen & ")"
    End If
End Sub

Set telescope = CreateObject("Velmaro.Telescope")
Check "Name", telescope.Name = "Velmaro Telescope", telescope.Name
Check "not connected after creation", telescope.Connected = False, telescope.Connected

telescope.Connected = True
Check "connected", telescope.Connected = True, telescope.Connected

Dim ra, dec, alt, az, lst
ra = telescope.RightAscension
dec = telescope.Declination
alt = telescope.Altitude
az = telescope.Azimuth
lst = telescope.SiderealTime
Check "right ascension in range", ra >= 0 And ra < 24, ra
Check "declination near the power-up +20", Abs(dec - 20) < 0.1, dec
Check "altitude in range", alt >= -90 And alt <= 90, alt
Check "azimuth in range", az >= 0 And az < 360, az
' The simulated mount powers up one hour east of the meridian.
Dim hourAngle
hourAngle = lst - ra
If hourAngle < -12 Then hourAngle = hourAngle + 24
If hourAngle > 12 Then hourAngle = hourAngle - 24
Check "one hour from the meridian", Abs(hourAngle - 1) < 0.05, hourAngle
Check "site latitude 48.5", Abs(telescope.SiteLatitude - 48.5) < 0.001, telescope.SiteLatitude
Check "site longitude -71.25", Abs(telescope.SiteLongitude + 71.25) < 0.001, telescope.SiteLongitude
' The mount's clock and this machine's agree within a minute.
Dim utc, offsetNow
utc = telescope.UTCDate
Check "UTC date is today", Abs(utc - Now) < 1.5, utc
Check "pulse guiding only off model 1", telescope.CanPulseGuide = (model <> 1), telescope.CanPulseGuide
Check "alt-azimuth slews only on model 1", telescope.CanSlewAltAz = (model = 1), telescope.CanSlewAltAz

telescope.Park
' Model 3 reports parked only once it has arrived at its park position.
' Each poll is an exchange with the mount, which paces the loop.
Dim polls
polls = 0
Do While Not telescope.AtPark And polls < 150
    polls = polls + 1
Loop
Check "parked", telescope.AtPark = True, telescope.AtPark
telescope.Unpark
Check "unparked", telescope.AtPark = False, telescope.AtPark

telescope.Connected = False
Check "disconnected", telescope.Connected = False, telescope.Connected
