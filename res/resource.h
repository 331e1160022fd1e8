/* Resource identifiers of keldar.exe, shared by the resource script and the program. Plain
   #define lines only: the resource compiler reads this file too. */
#ifndef KELDAR_RESOURCE_H
#define KELDAR_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_KELDAR_DIALOG 102
#define IDR_MAINFRAME 128
#define IDI_HUB 130
#define IDI_COMPUTER 131
#define IDI_USB 132
#define IDI_USB_PAIR 133

#define IDC_DEVICE_TREE 1000
#define IDC_DEVICE_LIST 1001
#define IDC_DETAIL_LIST 1002
#define IDC_DETECT 1003
#define IDC_EXIT 1004

/* The system-menu command of the About item. The system reserves ids from 0xF000 for its own
   commands and masks the low four bits, so the item owns 0x0010 to 0x001F. */
#define IDM_ABOUTBOX 0x0010

#endif
