// Resource ids of the desktop program, shared by the resource script and the
// Win32 shell.
#ifndef KT3916FLASH_RESOURCE_H
#define KT3916FLASH_RESOURCE_H

#define IDD_ABOUTBOX 100
#define IDR_MAINFRAME 128

// Command ids (the menu, the accelerators and their prompts in the string table).
#define ID_EDIT_CLEAR 0xE120
#define ID_EDIT_CLEAR_ALL 0xE121
#define ID_EDIT_COPY 0xE122
#define ID_EDIT_CUT 0xE123
#define ID_EDIT_FIND 0xE124
#define ID_EDIT_PASTE 0xE125
#define ID_EDIT_REPEAT 0xE128
#define ID_EDIT_REPLACE 0xE129
#define ID_EDIT_SELECT_ALL 0xE12A
#define ID_EDIT_UNDO 0xE12B
#define ID_EDIT_REDO 0xE12C
#define ID_WINDOW_SPLIT 0xE135
#define ID_APP_ABOUT 0xE140
#define ID_APP_EXIT 0xE141
#define ID_NEXT_PANE 0xE150
#define ID_PREV_PANE 0xE151
#define ID_VIEW_STATUS_BAR 0xE801

// Strings: application title, idle text, indicators, system-menu prompts.
#define AFX_IDS_APP_TITLE 0xE000
#define AFX_IDS_IDLEMESSAGE 0xE001
#define ID_INDICATOR_EXT 0xE700
#define ID_INDICATOR_CAPS 0xE701
#define ID_INDICATOR_NUM 0xE702
#define ID_INDICATOR_SCRL 0xE703
#define ID_INDICATOR_OVR 0xE704
#define ID_INDICATOR_REC 0xE705
#define AFX_IDS_SCSIZE 0xEF00
#define AFX_IDS_SCMOVE 0xEF01
#define AFX_IDS_SCMINIMIZE 0xEF02
#define AFX_IDS_SCMAXIMIZE 0xEF03
#define AFX_IDS_SCNEXTWINDOW 0xEF04
#define AFX_IDS_SCPREVWINDOW 0xEF05
#define AFX_IDS_SCCLOSE 0xEF06
#define AFX_IDS_SCRESTORE 0xEF12
#define AFX_IDS_SCTASKLIST 0xEF13

// Child window ids inside the main frame.
#define AFX_IDW_STATUS_BAR 0xE801
#define AFX_IDW_PANE_FIRST 0xE900

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif

// The form template and its controls. The code takes these from
// form/flash_view.h, where they are typed constants; only the resource
// compiler reads them here.
#ifdef RC_INVOKED
#define IDD_FLASH_FORM 130
#define IDC_PROGRESS 1000
#define IDC_SPARE_EDIT 1003
#define IDC_DEVICE_VER 1004
#define IDC_CHECKSUM 1005
#define IDC_FILE_PATH 1006
#define IDC_STATUS 1007
#define IDC_DEVICE_LIST 1008
#endif

#endif
