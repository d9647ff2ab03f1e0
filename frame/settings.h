/* The load step and plugin_settings: the one process-wide settings record,
 * filled when the module is loaded and never freed. */
#ifndef QV7_FRAME_SETTINGS_H
#define QV7_FRAME_SETTINGS_H

#include "../platform/win32.h"

#define QV7_TEXT_SIZE 256 /* client name and server: 254 characters at most */

typedef struct plugin_settings_t {
    HINSTANCE module_instance;
    char ini_path[MAX_PATH];
    char log_path[MAX_PATH];
    char resent_dir[MAX_PATH];
    int32_t log_level;
    int32_t server_port;
    int32_t client_enable;
    char client_name[QV7_TEXT_SIZE];
    char client_server[QV7_TEXT_SIZE];
    int32_t client_port;
    uint32_t server_addr;          /* network byte order; 0 = not resolved */
    uintptr_t send_thread_handle;  /* run marker; (uintptr_t)-1 = no run */
} plugin_settings_t;

extern plugin_settings_t plugin_settings;

#define SEND_THREAD_NONE ((uintptr_t)-1)

/* The fields that one thread writes while another reads (client_port,
 * server_addr, client_enable, the run marker) are read and written whole; these
 * say so to the compiler and to the thread checkers without taking a lock. */
#define SHARED_LOAD(field) __atomic_load_n(&(field), __ATOMIC_RELAXED)
#define SHARED_STORE(field, value) __atomic_store_n(&(field), (value), __ATOMIC_RELAXED)

/* The load step: derives the paths from the module's folder, starts the socket
 * layer, reads the INI file and starts a fresh log. 1 on success; 0 when the
 * socket layer cannot start or the module's folder is too long for the paths. */
int settings_load(HINSTANCE module);

/* Reads the six keys of the INI file at ini_path into plugin_settings, with
 * default_name as the default of [client] name. */
void settings_read_ini(const char *ini_path, const char *default_name);

#endif
