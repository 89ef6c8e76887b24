#pragma once

// Dialogs, menus, icons and strings.
#define IDD_ABOUTBOX 100
#define IDS_ABOUTBOX 101
#define IDD_MAPPING_DIALOG 102
#define IDR_MAINFRAME 128
#define IDR_MAIN_MENU 129
#define IDD_MAPPING_ADD 130
#define IDI_TRAY 131
#define IDR_TRAY_MENU 132
// The mapping list's row states: not active, live, failed, held elsewhere.
#define IDI_STATE_FIRST 140
#define IDD_ROUTER_TABLE 150

// Controls of the main window.
#define IDC_MAPPING_LIST 1002
#define IDC_LAN_ADDRESS 1003
#define IDC_GATEWAY_ADDRESS 1004
#define IDC_START 1005
#define IDC_ADDRESS_NOTE 1006
#define IDC_REFRESH_INTERVAL 1007
#define IDC_STOP 1008
#define IDC_EXTERNAL_ADDRESS 1009
#define IDC_STATUS_LINE 1013
#define IDC_AUTOSTART 1021

// Controls of the add-mapping dialog.
#define IDC_ADD_ADDRESS 1014
#define IDC_ADD_LOCAL_PORT 1015
#define IDC_ADD_EXTERNAL_PORT 1016
#define IDC_ADD_TCP 1017
#define IDC_ADD_UDP 1018
#define IDC_ADD_BUTTON 1019
#define IDC_ADD_REMARK 1020

// Controls of the router's table.
#define IDC_TABLE_LIST 1030
#define IDC_TABLE_REFRESH 1031
#define IDC_TABLE_DELETE 1032
#define IDC_TABLE_ADOPT 1033
#define IDC_TABLE_STATUS 1034

// Commands.
#define IDM_ADD_MAPPING 32781
#define IDM_DELETE_MAPPING 32782
#define IDM_HOME_PAGE 32784
#define IDM_ABOUT 32785
#define IDM_TRAY_SHOW 32788
#define IDM_TRAY_EXIT 32789
#define IDM_VISIT_EXTERNAL_IP 32792
#define IDM_COPY_EXTERNAL_IP 32794
#define IDM_COPY_IPV6_ADDRESS 32795
#define IDM_VIEW_ROUTER_TABLE 32796
#define IDM_ALLOW_IN_FIREWALL 32797

// System-menu command of the About item.
#define IDM_ABOUTBOX 0x0010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The maker's home page, shown in the About box, the menu and the icon's tip.
#define GATEWRIGHT_HOME_PAGE "https://gatewright.example.org/"
