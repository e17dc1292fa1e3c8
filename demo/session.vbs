' A client session as an astronomer's script would run it: the driver is
' created by its ProgID and called by name through IDispatch.
Option Explicit

Dim telescope
Set telescope = CreateObject("Velmaro.Telescope")
WScript.Echo "Name:          " & telescope.Name
WScript.Echo "DriverInfo:    " & telescope.DriverInfo
WScript.Echo "DriverVersion: " & telescope.DriverVersion

telescope.Connected = True
WScript.Echo "Connected:     " & CStr(telescope.Connected)

telescope.Connected = False
WScript.Echo "Connected:     " & CStr(telescope.Connected)
