// Resource identifiers of the driver module.
#pragma once

#define IDS_PROJNAME 100
#define IDS_TELESCOPE_DESC 102

// The setup dialog, its picture and its controls.
#define IDD_SETTINGS 101
#define IDB_LOGO 218
#define IDC_LATITUDE 210
#define IDC_LONGITUDE 212
#define IDC_MODEL 217
#define IDC_LOCAL_TIME 219
#define IDC_TIME_ZONE 220
#define IDC_RIGHT_ASCENSION 221
#define IDC_ALTITUDE 222
#define IDC_DECLINATION 223
#define IDC_AZIMUTH 224
#define IDC_LOCAL_TIME_LABEL 225
#define IDC_TIME_ZONE_LABEL 229
#define IDC_APPLY 232
#define IDC_TRACE 233
#define IDC_PORT_LIST 1024

// Items that a dialog adds to its controls when it is created: resource type
// and the list message of its entries.
#define RT_DIALOG_INIT 240
#define DIALOG_INIT_ADD_STRING 0x0403
