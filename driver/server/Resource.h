// Resource ids of Dravix.dll.
#pragma once

#define IDD_PROPERTIES 101
#define IDC_DEVICES_LABEL 1000
#define IDC_DEVICES 1001
#define IDC_DETAILS 1002
