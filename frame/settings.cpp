/* The load step and plugin_settings.
 *
 * When the host loads the module, DllMain works out the module's folder,
 * derives the paths of "qv7_sock.ini", "qv7_sock.log" and the resend folder
 * "resent" from it, starts Windows Sockets 1.1, reads the six INI keys and
 * starts a fresh log. The record is filled once and never freed; only the
 * settings dialog and the sender change it later. */
#include "settings.h"
#include "../support/filebuf.h"

plugin_settings_t plugin_settings;

/* Builds "folder\name" into path (MAX_PATH bytes). 0, with path untouched,
 * when the result would pass MAX_PATH - 1 characters. */
static int folder_path(char *path, const char *folder, int folder_length, const char *name)
{
    if (folder_length + 1 + lstrlenA(name) > MAX_PATH - 1)
        return 0;
    wsprintfA(path, "%s\\%s", folder, name);
    return 1;
}

/* Reads the six keys of ini_path into plugin_settings in their fixed order.
 * A missing file or key gives the default; a present but empty text gives "";
 * a longer text is cut to 254 characters. */
void settings_read_ini(const char *ini_path, const char *default_name)
{
    plugin_settings.log_level = (int32_t)GetPrivateProfileIntA("option", "log", 1, ini_path);
    plugin_settings.server_port = (int32_t)GetPrivateProfileIntA("server", "port", 1501, ini_path);
    plugin_settings.client_enable =
        (int32_t)GetPrivateProfileIntA("client", "enable", 1, ini_path);
    GetPrivateProfileStringA("client", "name", default_name, plugin_settings.client_name,
                             QV7_TEXT_SIZE - 1, ini_path);
    GetPrivateProfileStringA("client", "server", "", plugin_settings.client_server,
                             QV7_TEXT_SIZE - 1, ini_path);
    plugin_settings.client_port = (int32_t)GetPrivateProfileIntA("client", "port", 1501, ini_path);
}

/* The load step. 1 on success; 0 when the module's own path cannot be had
 * whole, when its folder is too long for the three paths, or when the socket
 * layer cannot start (then nothing is logged and the INI file is not read). */
int settings_load(HINSTANCE module)
{
    char module_path[MAX_PATH];
    char folder[MAX_PATH];
    char host_name[256];
    WSADATA wsa;
    DWORD length;
    int folder_length;

    plugin_settings.module_instance = module;
    plugin_settings.server_addr = 0;
    plugin_settings.send_thread_handle = SEND_THREAD_NONE;

    /* 259 leaves a path of at most 258 characters; a path that filled it may
     * have been cut, and its folder would be wrong. */
    length = GetModuleFileNameA(module, module_path, MAX_PATH - 1);
    if (length == 0 || length >= MAX_PATH - 1)
        return 0;
    module_path[length] = 0;
    folder_length = path_folder(module_path, folder);
    if (!folder_path(plugin_settings.ini_path, folder, folder_length, "qv7_sock.ini") ||
        !folder_path(plugin_settings.log_path, folder, folder_length, "qv7_sock.log") ||
        !folder_path(plugin_settings.resent_dir, folder, folder_length, "resent"))
        return 0;

    if (WSAStartup(MAKEWORD(1, 1), &wsa) != 0)
        return 0;
    /* Without a host name the station's default name is empty. */
    host_name[0] = 0;
    if (gethostname(host_name, 255) != 0)
        host_name[0] = 0;
    host_name[255] = 0;

    settings_read_ini(plugin_settings.ini_path, host_name);
    if (plugin_settings.log_level != 0)
        DeleteFileA(plugin_settings.log_path);
    return 1;
}

/* Only the process attach does anything. There is deliberately no work at
 * detach: threads that still run keep using the socket layer and the log. */
extern "C" QV7_EXPORT BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    return settings_load(module) ? TRUE : FALSE;
}
