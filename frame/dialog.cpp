/* The connection settings dialog: qv7_sock_property runs dialog 101 modally on
 * the host's thread; OK replaces the four client settings at once, forgets the
 * resolved server address and writes the INI file; Cancel, Escape and the
 * close button change nothing. */
#include "../platform/win32.h"
#include "contract.h"
#include "resource.h"
#include "settings.h"

/* Fills the controls from plugin_settings. */
static void dialog_show_settings(HWND dialog)
{
    SendDlgItemMessageA(dialog, IDC_ENABLE, BM_SETCHECK,
                        (WPARAM)SHARED_LOAD(plugin_settings.client_enable), 0);
    SendDlgItemMessageA(dialog, IDC_NAME, WM_SETTEXT, 0, (LPARAM)plugin_settings.client_name);
    SendDlgItemMessageA(dialog, IDC_SERVER, WM_SETTEXT, 0,
                        (LPARAM)plugin_settings.client_server);
    SetDlgItemInt(dialog, IDC_PORT, (UINT)SHARED_LOAD(plugin_settings.client_port), FALSE);
}

/* Takes the four client settings from the controls and clears the cached
 * server address, so the next send trigger resolves the server again. The
 * texts are cut to 254 characters by the 255-byte limit of WM_GETTEXT. */
static void dialog_take_settings(HWND dialog)
{
    int32_t enable = SendDlgItemMessageA(dialog, IDC_ENABLE, BM_GETCHECK, 0, 0) == BST_CHECKED;
    SHARED_STORE(plugin_settings.client_enable, enable);
    SendDlgItemMessageA(dialog, IDC_NAME, WM_GETTEXT, QV7_TEXT_SIZE - 1,
                        (LPARAM)plugin_settings.client_name);
    SendDlgItemMessageA(dialog, IDC_SERVER, WM_GETTEXT, QV7_TEXT_SIZE - 1,
                        (LPARAM)plugin_settings.client_server);
    /* Whether the field read as a number is not asked: empty gives 0. */
    SHARED_STORE(plugin_settings.client_port,
                 (int32_t)GetDlgItemInt(dialog, IDC_PORT, NULL, FALSE));
    SHARED_STORE(plugin_settings.server_addr, (uint32_t)0);
}

/* Writes the five keys the dialog owns, in a fixed order. The log level goes
 * back as it was read at load; [server] port is never written. Results of the
 * writes are ignored: the new values stay in force until the module unloads. */
static void dialog_write_ini(void)
{
    const char *ini = plugin_settings.ini_path;
    char number[16];

    wsprintfA(number, "%d", (int)plugin_settings.log_level);
    WritePrivateProfileStringA("option", "log", number, ini);
    wsprintfA(number, "%d", (int)SHARED_LOAD(plugin_settings.client_enable));
    WritePrivateProfileStringA("client", "enable", number, ini);
    WritePrivateProfileStringA("client", "name", plugin_settings.client_name, ini);
    WritePrivateProfileStringA("client", "server", plugin_settings.client_server, ini);
    wsprintfA(number, "%d", (int)SHARED_LOAD(plugin_settings.client_port));
    WritePrivateProfileStringA("client", "port", number, ini);
}

/* The dialog procedure: TRUE when it handled the message, FALSE to leave it
 * to the platform's default dialog handling. */
static INT_PTR CALLBACK setting_dialog_proc(HWND dialog, UINT message, WPARAM wparam,
                                           LPARAM lparam)
{
    switch (message) {
    case WM_INITDIALOG:
        dialog_show_settings(dialog);
        return TRUE; /* focus to the first tab stop, the check box */
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            dialog_take_settings(dialog);
            dialog_write_ini();
            EndDialog(dialog, IDOK);
            return TRUE;
        case IDCANCEL:
            /* Cancel, Escape and the close button all end in WM_CLOSE. */
            SendMessageA(dialog, WM_CLOSE, 0, 0);
            return TRUE;
        default:
            return TRUE;
        }
    case WM_CLOSE:
        EndDialog(dialog, 0);
        return TRUE;
    default:
        return FALSE;
    }
}

/* Export: runs the settings dialog with the given owner until it closes.
 * Returns 1 whatever the dialog's result. */
QV7_EXPORT int WINAPI qv7_sock_property(HWND owner, int ignored)
{
    DialogBoxParamA(plugin_settings.module_instance, MAKEINTRESOURCEA(IDD_CONNECTION_SETTING),
                    owner, setting_dialog_proc, 0);
    return 1;
}
