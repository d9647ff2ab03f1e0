/* The module's resources, the one place where their texts and layout live.
 *
 * The resource script qv7_sock.rc (Windows) and resource_table.cpp (Linux) both
 * expand these macros, so the two builds cannot drift apart. Texts are UTF-8;
 * windres reads the script as code page 65001 and stores them as UTF-16, the
 * Linux loader converts them to the ANSI code page when they are loaded.
 *
 * A language is a prefix (QV7_EN, QV7_JA) whose _xxx names give its texts and
 * the few numbers that differ between languages; QV7_SETTING_CONTROLS lists the
 * dialog's controls in template order, which is also the tab order. Numbers
 * are dialog units. Needs the WS_/BS_/ES_/SS_ style names in scope. */
#ifndef QV7_FRAME_RESOURCE_DATA_H
#define QV7_FRAME_RESOURCE_DATA_H

#include "resource.h"

/* English (United States) */
#define QV7_EN_LANGID 1033
#define QV7_EN_MENU_TITLE "Send &CSV"
#define QV7_EN_DLG_TITLE "Connection Setting"
#define QV7_EN_FONT_SIZE 8
#define QV7_EN_FONT_FACE "MS Sans Serif"
#define QV7_EN_LABEL_CY 9
#define QV7_EN_ENABLE "&Enable Send CSV"
#define QV7_EN_NAME_LABEL "Borad &Name:"
#define QV7_EN_SERVER_LABEL "&Server:"
#define QV7_EN_PORT_LABEL "&Port:"
#define QV7_EN_OK "OK"
#define QV7_EN_CANCEL "Cancel"

/* Japanese */
#define QV7_JA_LANGID 1041
#define QV7_JA_MENU_TITLE "&CSV送信"
#define QV7_JA_DLG_TITLE "接続先設定"
#define QV7_JA_FONT_SIZE 9
#define QV7_JA_FONT_FACE "ＭＳ Ｐゴシック"
#define QV7_JA_LABEL_CY 10
#define QV7_JA_ENABLE "CSV送信を有効にする(&E)"
#define QV7_JA_NAME_LABEL "この端末の名前(&N):"
#define QV7_JA_SERVER_LABEL "接続先(&S):"
#define QV7_JA_PORT_LABEL "ポート番号(&P):"
#define QV7_JA_OK "OK"
#define QV7_JA_CANCEL "キャンセル"

/* The settings dialog: WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME |
 * DS_SETFONT (0x80C800C0), at 0, 0, 167 by 119, no menu, default class. */
#define QV7_SETTING_STYLE (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT)
#define QV7_SETTING_X 0
#define QV7_SETTING_Y 0
#define QV7_SETTING_CX 167
#define QV7_SETTING_CY 119

/* C(id, class, style, x, y, cx, cy, text) once per control, for language L.
 * Every control is also WS_CHILD | WS_VISIBLE (the script's CONTROL adds that
 * itself; the Linux table adds it in its own C). */
#define QV7_EDIT_STYLE (ES_LEFT | ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP)
#define QV7_SETTING_CONTROLS(C, L) \
    C(IDC_ENABLE, "Button", BS_AUTOCHECKBOX | WS_TABSTOP, 5, 5, 135, 10, L##_ENABLE) \
    C(IDC_LABEL, "Static", SS_LEFT | WS_GROUP, 5, 20, 65, L##_LABEL_CY, L##_NAME_LABEL) \
    C(IDC_NAME, "Edit", QV7_EDIT_STYLE, 5, 30, 155, 12, "") \
    C(IDC_LABEL, "Static", SS_LEFT | WS_GROUP, 5, 45, 65, L##_LABEL_CY, L##_SERVER_LABEL) \
    C(IDC_SERVER, "Edit", QV7_EDIT_STYLE, 5, 55, 155, 12, "") \
    C(IDC_LABEL, "Static", SS_LEFT | WS_GROUP, 5, 70, 65, L##_LABEL_CY, L##_PORT_LABEL) \
    C(IDC_PORT, "Edit", QV7_EDIT_STYLE | ES_NUMBER, 5, 80, 55, 12, "") \
    C(IDOK, "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, 55, 100, 50, 14, L##_OK) \
    C(IDCANCEL, "Button", BS_PUSHBUTTON | WS_TABSTOP, 110, 100, 50, 14, L##_CANCEL)

#endif
