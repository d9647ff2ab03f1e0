/* Registration with the host: the menu entry's record and the event mask. */
#include "contract.h"
#include "resource.h"
#include "settings.h"

/* Index 0 fills the host's plugin_info record (title from string resource 1,
 * the event entry's name, an empty argument) and returns 1; any other index
 * returns 0 and leaves the record alone. */
extern "C" QV7_EXPORT int WINAPI get_plugin_info(HWND ignored, int index, void *info)
{
    char *record = (char *)info;

    if (index != 0)
        return 0;
    LoadStringA(plugin_settings.module_instance, IDS_MENU_TITLE, record + PLUGIN_INFO_TITLE,
                PLUGIN_INFO_TITLE_SIZE - 1);
    lstrcpyA(record + PLUGIN_INFO_FUNCTION_NAME, "qv7_sock");
    record[PLUGIN_INFO_ARGUMENT] = 0;
    return 1;
}

/* The events the plug-in wants: send (1) and record (64). */
extern "C" QV7_EXPORT int WINAPI qv7_sock_initialize(HWND ignored, int ignored2)
{
    return PLUGIN_EVENT_MASK;
}
