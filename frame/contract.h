/* What passes between the host application and the plug-in: event codes, the
 * window messages the plug-in sends to the host, the byte offsets of the records
 * the host lends, and the five exports. The host program qv7host and the tests
 * use the same header, so both sides of the contract read one definition. */
#ifndef QV7_FRAME_CONTRACT_H
#define QV7_FRAME_CONTRACT_H

#include "../platform/win32.h"

#define PLUGIN_EVENT_SEND 1
#define PLUGIN_EVENT_RECORD 64

#define WM_HOST_GET_CSV (WM_APP + 520)       /* lParam: record; result: CSV text or 0 */
#define WM_HOST_FREE_CSV (WM_APP + 521)      /* lParam: that text */
#define WM_HOST_FILE_RECEIVED (WM_APP + 101) /* lParam: stored file's name */
#define WM_HOST_GET_RECV_DIR (WM_APP + 102)  /* lParam: 260-byte buffer to fill */
#define WM_HOST_SERVER_ERROR (WM_APP + 103)  /* lParam: name of the failed call */

/* plugin_info, allocated by the host */
#define PLUGIN_INFO_TITLE 4
#define PLUGIN_INFO_TITLE_SIZE 256
#define PLUGIN_INFO_FUNCTION_NAME 260
#define PLUGIN_INFO_FUNCTION_NAME_SIZE 256
#define PLUGIN_INFO_ARGUMENT 516

/* host_event_arg: the record pointer, platform pointer width */
#define HOST_EVENT_ARG_RECORD 268
/* host_record: int32 number and SYSTEMTIME date_time */
#define HOST_RECORD_NUMBER 8
#define HOST_RECORD_DATE_TIME 40

#define PLUGIN_EVENT_MASK (PLUGIN_EVENT_SEND | PLUGIN_EVENT_RECORD)

#ifdef __cplusplus
extern "C" {
#endif
typedef int(WINAPI *get_plugin_info_fn)(HWND ignored, int index, void *info);
typedef int(WINAPI *qv7_sock_initialize_fn)(HWND ignored, int ignored2);
typedef int(WINAPI *qv7_sock_fn)(HWND host_window, int event, void *arg, int ignored);
typedef int(WINAPI *qv7_sock_property_fn)(HWND owner, int ignored);
typedef uintptr_t(WINAPI *server_start_fn)(HWND host_window);

QV7_EXPORT int WINAPI get_plugin_info(HWND ignored, int index, void *info);
QV7_EXPORT int WINAPI qv7_sock_initialize(HWND ignored, int ignored2);
QV7_EXPORT int WINAPI qv7_sock(HWND host_window, int event, void *arg, int ignored);
QV7_EXPORT int WINAPI qv7_sock_property(HWND owner, int ignored);
QV7_EXPORT uintptr_t WINAPI server_start(HWND host_window);
#ifdef __cplusplus
}
#endif

#endif
