/* The module's resources for Linux: the same strings and dialog as
 * qv7_sock.rc, built from resource_data.h into the table that our LoadStringA
 * and DialogBoxParamA look up by its exported name. Windows builds use the
 * resource script instead. */
#ifndef _WIN32

#include "../platform/win32.h"
#include "../platform/posix/resource.h"
#include "resource_data.h"

#define QV7_TABLE_CONTROL(id, cls, style, x, y, cx, cy, text) \
    {id, cls, (DWORD)((style) | WS_CHILD | WS_VISIBLE), x, y, cx, cy, text},

#define QV7_LANGUAGE_DATA(L, name)                                                       \
    static const qv7_res_string name##_strings[] = {{IDS_MENU_TITLE, L##_MENU_TITLE}}; \
    static const qv7_res_control name##_controls[] = {                                  \
        QV7_SETTING_CONTROLS(QV7_TABLE_CONTROL, L)};                                    \
    static const qv7_res_dialog name##_dialogs[] = {                                    \
        {IDD_CONNECTION_SETTING, (DWORD)QV7_SETTING_STYLE, QV7_SETTING_X, QV7_SETTING_Y, \
         QV7_SETTING_CX, QV7_SETTING_CY, L##_FONT_SIZE, L##_FONT_FACE, L##_DLG_TITLE,    \
         (int)(sizeof name##_controls / sizeof name##_controls[0]), name##_controls}};

QV7_LANGUAGE_DATA(QV7_EN, english)
QV7_LANGUAGE_DATA(QV7_JA, japanese)

static const qv7_res_language languages[] = {
    {QV7_EN_LANGID, 1, english_strings, 1, english_dialogs},
    {QV7_JA_LANGID, 1, japanese_strings, 1, japanese_dialogs},
};

/* Looked up by name (QV7_RESOURCE_TABLE_NAME) in the module, so it must be
 * visible although the plug-in's objects hide everything else. */
extern "C" QV7_EXPORT const qv7_resource_table_t qv7_resource_table = {
    (int)(sizeof languages / sizeof languages[0]), languages};

#endif
