/* qv7host settings: opens the plug-in's settings dialog through its export
 * qv7_sock_property, owned by the host's window, and returns when it closes.
 *
 * On Windows the real dialog appears. On Linux there is no display: the host
 * says so and names the INI file that holds the settings (the module's folder
 * plus "qv7_sock.ini"), then exits 0 without opening anything. A test that
 * drives the headless dialog from another thread of the same process (as
 * tests/test_dialog.cpp does through the module) sets QV7_HEADLESS_DIALOG=1;
 * the host then runs the dialog modally like on Windows and waits for it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "host/host.h"

static LRESULT settings_message(UINT message, WPARAM wparam, LPARAM lparam) { return 0; }


int cmd_settings(host_module *m, int argc, char **argv)
{
#ifndef _WIN32
    const char *headless = getenv("QV7_HEADLESS_DIALOG");
    if (!headless || strcmp(headless, "1") != 0) {
        char folder[MAX_PATH];
        host_folder_of(m->path, folder);
        printf("no display: the settings dialog cannot be shown here\n");
        printf("the settings are kept in %s%sqv7_sock.ini\n", folder, folder[0] ? "/" : "");
        return 0;
    }
#endif
    HWND window = host_create_window(settings_message);
    if (!window)
        return 1;
    m->property(window, 0);
    DestroyWindow(window);
    return 0;
}
