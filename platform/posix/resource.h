/* A module's resources on POSIX: what a resource script holds on Windows, as a
 * table of plain data that the module (or a program linking the plug-in's code)
 * exports under the name QV7_RESOURCE_TABLE_NAME. LoadStringA and
 * DialogBoxParamA find it with qv7_module_symbol and pick the language from the
 * locale. Texts are UTF-8; the loader converts them to the ANSI code page. */
#ifndef QV7_POSIX_RESOURCE_H
#define QV7_POSIX_RESOURCE_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QV7_RESOURCE_TABLE_NAME "qv7_resource_table"

typedef struct qv7_res_string {
    UINT id;
    const char *text;
} qv7_res_string;

/* One control of a dialog template; numbers in dialog units. */
typedef struct qv7_res_control {
    int id;
    const char *class_name; /* "Button", "Edit", "Static" */
    DWORD style;            /* WS_CHILD | WS_VISIBLE included */
    short x, y, cx, cy;
    const char *text;
} qv7_res_control;

typedef struct qv7_res_dialog {
    UINT id;
    DWORD style;
    short x, y, cx, cy;
    WORD font_size;
    const char *font_face;
    const char *title;
    int control_count;
    const qv7_res_control *controls;
} qv7_res_dialog;

typedef struct qv7_res_language {
    WORD language; /* 1033 English, 1041 Japanese */
    int string_count;
    const qv7_res_string *strings;
    int dialog_count;
    const qv7_res_dialog *dialogs;
} qv7_res_language;

typedef struct qv7_resource_table_t {
    int language_count;
    const qv7_res_language *languages; /* the first one is the fallback */
} qv7_resource_table_t;

#ifdef __cplusplus
}
#endif

#endif
