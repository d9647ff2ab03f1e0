/* Resource ids of the module: the menu title string and the settings dialog
 * with its controls. Read by the resource script (windres) and by C++ alike,
 * so it holds nothing but numbers. */
#ifndef QV7_FRAME_RESOURCE_H
#define QV7_FRAME_RESOURCE_H

#define IDS_MENU_TITLE 1
#define IDD_CONNECTION_SETTING 101
#define IDC_NAME 1000
#define IDC_SERVER 1001
#define IDC_PORT 1002
#define IDC_ENABLE 1003
#define IDC_LABEL (-1)

#endif
