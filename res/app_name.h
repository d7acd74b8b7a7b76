// The application name, shared by the resource script (frame title and
// AFX_IDS_APP_TITLE strings) and by the code (option resolution, captions).
#pragma once
#define KT_APP_NAME "KT3916Flash"
#define KT_APP_VERSION_TEXT "1.10"
