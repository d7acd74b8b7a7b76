#include "resource_check.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <vector>

#include "gui_check.h"

namespace {
constexpr WORD kLanguage = 0x0404;

// The 35 strings, exactly.
const std::map<unsigned, std::string> kStrings = {
    {128, "KT3916Flash"},
    {0xE000, "KT3916Flash"},
    {0xE001, "就緒"},
    {0xE120, "刪除選取內容\n刪除"},
    {0xE121, "全部刪除\n全部刪除"},
    {0xE122, "複製選取內容到剪貼簿中\n複製"},
    {0xE123, "剪下選取內容到剪貼簿中\n剪下"},
    {0xE124, "尋找指定文字\n尋找"},
    {0xE125, "插入剪貼簿內容\n貼上"},
    {0xE128, "重複前一動作\n重複"},
    {0xE129, "以不同文字取代指定之文字\n取代"},
    {0xE12A, "選取整篇文件\n選取全部"},
    {0xE12B, "復原上一次動作\n復原"},
    {0xE12C, "重做前一個復原的動作\n重做"},
    {0xE135, "分割目前的視窗\n分割"},
    {0xE140, "顯示程式的資訊， 版本及版權\n關於"},
    {0xE141, "結束應用程式並提示儲存檔案\n結束"},
    {0xE150, "切換到下一個窗格\n下一個窗格"},
    {0xE151, "切換到上一個窗格\n上一個窗格"},
    {0xE700, "EXT"},
    {0xE701, "CAP"},
    {0xE702, "NUM"},
    {0xE703, "SCRL"},
    {0xE704, "OVR"},
    {0xE705, "REC"},
    {0xE801, "隱藏或顯示狀態列\n切換狀態列"},
    {0xEF00, "改變視窗大小"},
    {0xEF01, "改變視窗位置"},
    {0xEF02, "縮小視窗到一圖示"},
    {0xEF03, "放大視窗到全螢幕"},
    {0xEF04, "切換到下一個文件視窗"},
    {0xEF05, "切換到前一個文件視窗"},
    {0xEF06, "關閉工作中視窗並提示儲存文件"},
    {0xEF12, "還原視窗至原來大小"},
    {0xEF13, "叫出「工作列」"},
};

struct ExpectedAccelerator {
    BYTE fVirt;
    WORD key;
    WORD cmd;
    const char* pszName;
};
const ExpectedAccelerator kAccelerators[] = {
    {FVIRTKEY | FNOINVERT | FCONTROL, 'C', 0xE122, "Ctrl+C"},
    {FVIRTKEY | FNOINVERT | FCONTROL, 'V', 0xE125, "Ctrl+V"},
    {FVIRTKEY | FNOINVERT | FALT, VK_BACK, 0xE12B, "Alt+Backspace"},
    {FVIRTKEY | FNOINVERT | FSHIFT, VK_DELETE, 0xE123, "Shift+Delete"},
    {FVIRTKEY | FNOINVERT, VK_F6, 0xE150, "F6"},
    {FVIRTKEY | FNOINVERT | FSHIFT, VK_F6, 0xE151, "Shift+F6"},
    {FVIRTKEY | FNOINVERT | FCONTROL, VK_INSERT, 0xE122, "Ctrl+Insert"},
    {FVIRTKEY | FNOINVERT | FSHIFT, VK_INSERT, 0xE125, "Shift+Insert"},
    {FVIRTKEY | FNOINVERT | FCONTROL, 'X', 0xE123, "Ctrl+X"},
    {FVIRTKEY | FNOINVERT | FCONTROL, 'Z', 0xE12B, "Ctrl+Z"},
};

struct DialogItem {
    DWORD style;
    WORD id;
    std::string strClass;
    std::string strText;  // "#n" for a resource ordinal
    short x, y, cx, cy;
};

struct DialogTemplate {
    DWORD style;
    short cx, cy;
    std::string strCaption;
    WORD nPointSize;
    std::string strFont;
    std::vector<DialogItem> items;
};

// The form template, control by control in template order.
const DialogItem kFormItems[] = {
    {0x50010001, 1, "Button", "Flash", 147, 86, 25, 14},                  // visible, tab stop, default push button
    {0x50800000, 1000, "msctls_progress32", "Progress1", 2, 93, 140, 7},  // visible, border
    // not visible, disabled, border, tab stop, read-only, scrolls horizontally
    {0x48810880, 1003, "Edit", "", 2, 75, 166, 12},
    {0x50020000, 0xFFFF, "Static", "Device:", 5, 2, 53, 9},        // visible, group, left
    {0x50000007, 0xFFFF, "Button", "Device ver:", 7, 48, 73, 27},  // group box
    {0x50810081, 1004, "Edit", "", 23, 59, 36, 12},                // border, tab stop, centred, scrolls
    {0x50000007, 0xFFFF, "Button", "Checksum:", 99, 48, 73, 27},
    {0x50810081, 1005, "Edit", "", 120, 59, 36, 12},
    {0x50810880, 1006, "Edit", "", 6, 36, 166, 12},  // read-only
    {0x50020000, 0xFFFF, "Static", "File path:", 5, 25, 53, 9},
    {0x50020000, 1007, "Static", "Static", 2, 85, 108, 8},
    // vertical scroll bar, tab stop, drop-down, sorted
    {0x50210102, 1008, "ComboBox", "", 2, 13, 170, 52},
};

std::string ReadSzOrOrd(const WORD*& p, bool bClass)
{
    if (*p == 0) {
        ++p;
        return std::string();
    }
    if (*p == 0xFFFF) {
        WORD nOrdinal = p[1];
        p += 2;
        if (bClass) {
            static const char* const kClasses[] = {"Button", "Edit", "Static", "ListBox", "ScrollBar", "ComboBox"};
            if (nOrdinal >= 0x80 && nOrdinal <= 0x85)
                return kClasses[nOrdinal - 0x80];
        }
        return "#" + std::to_string(nOrdinal);
    }
    std::wstring strText;
    while (*p != 0)
        strText.push_back(static_cast<wchar_t>(*p++));
    ++p;
    return Utf8(strText);
}

const void* LoadTemplateResource(HMODULE hModule, const wchar_t* pszType, WORD nID, DWORD* pnSize = nullptr)
{
    HRSRC hResource = FindResourceExW(hModule, pszType, MAKEINTRESOURCEW(nID), kLanguage);
    if (hResource == nullptr)
        return nullptr;
    if (pnSize != nullptr)
        *pnSize = SizeofResource(hModule, hResource);
    return LockResource(LoadResource(hModule, hResource));
}

DialogTemplate ParseDialog(HMODULE hModule, WORD nID)
{
    auto* pBase = static_cast<const BYTE*>(LoadTemplateResource(hModule, MAKEINTRESOURCEW(5) /* RT_DIALOG */, nID));
    Check(pBase != nullptr, "dialog template " + std::to_string(nID) + " missing in language 0x0404");
    Check(*reinterpret_cast<const DWORD*>(pBase) != 0xFFFF0001,
          "dialog template " + std::to_string(nID) + " is an extended template");
    auto* pHeader = reinterpret_cast<const DLGTEMPLATE*>(pBase);
    DialogTemplate dialog{pHeader->style, pHeader->cx, pHeader->cy, {}, 0, {}, {}};
    auto* p = reinterpret_cast<const WORD*>(pBase + sizeof(DLGTEMPLATE));
    Check(ReadSzOrOrd(p, false).empty(), "dialog " + std::to_string(nID) + " has a menu");
    Check(ReadSzOrOrd(p, false).empty(), "dialog " + std::to_string(nID) + " has a class of its own");
    dialog.strCaption = ReadSzOrOrd(p, false);
    if (dialog.style & DS_SETFONT) {
        dialog.nPointSize = *p++;
        dialog.strFont = ReadSzOrOrd(p, false);
    }
    for (int i = 0; i < pHeader->cdit; ++i) {
        auto nOffset = reinterpret_cast<const BYTE*>(p) - pBase;
        p = reinterpret_cast<const WORD*>(pBase + ((nOffset + 3) & ~3));
        auto* pItem = reinterpret_cast<const DLGITEMTEMPLATE*>(p);
        DialogItem item{pItem->style, pItem->id, {}, {}, pItem->x, pItem->y, pItem->cx, pItem->cy};
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + sizeof(DLGITEMTEMPLATE));
        item.strClass = ReadSzOrOrd(p, true);
        item.strText = ReadSzOrOrd(p, false);
        WORD nExtra = *p++;
        p = reinterpret_cast<const WORD*>(reinterpret_cast<const BYTE*>(p) + nExtra);
        dialog.items.push_back(item);
    }
    return dialog;
}

std::string Hex(unsigned long nValue)
{
    char szText[16];
    snprintf(szText, sizeof szText, "0x%lX", nValue);
    return szText;
}

std::string Lower(std::string strText)
{
    for (char& ch : strText)
        ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return strText;
}

void CheckItem(const DialogItem& actual, const DialogItem& expected, const std::string& strWhere)
{
    // Window class names do not depend on letter case; the resource
    // compiler writes some in capitals.
    CheckEqual(Lower(actual.strClass), Lower(expected.strClass), strWhere + " class");
    CheckEqual(actual.id, expected.id, strWhere + " id");
    CheckEqual(Hex(actual.style), Hex(expected.style), strWhere + " style");
    CheckEqual(actual.x, expected.x, strWhere + " x");
    CheckEqual(actual.y, expected.y, strWhere + " y");
    CheckEqual(actual.cx, expected.cx, strWhere + " width");
    CheckEqual(actual.cy, expected.cy, strWhere + " height");
}

void CheckDialogs(HMODULE hModule)
{
    DialogTemplate form = ParseDialog(hModule, 130);
    CheckEqual(Hex(form.style), Hex(WS_CHILD | DS_SETFONT), "form template style (child, no caption)");
    CheckEqual(form.strCaption, "", "form template caption");
    CheckEqual(form.cx, 178, "form template width");
    CheckEqual(form.cy, 101, "form template height");
    CheckEqual(form.strFont, "System", "form template font");
    CheckEqual(form.nPointSize, 10, "form template font size");
    CheckEqual(static_cast<long long>(form.items.size()), 12, "controls of the form template");
    for (size_t i = 0; i < form.items.size(); ++i) {
        std::string strWhere = "form control " + std::to_string(i + 1);
        CheckItem(form.items[i], kFormItems[i], strWhere);
        CheckEqual(form.items[i].strText, kFormItems[i].strText, strWhere + " text");
    }

    DialogTemplate about = ParseDialog(hModule, 100);
    CheckEqual(Hex(about.style), Hex(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_SETFONT),
               "about box style");
    CheckEqual(about.strCaption, "關於 KT3916Flash", "about box caption");
    CheckEqual(about.cx, 235, "about box width");
    CheckEqual(about.cy, 55, "about box height");
    CheckEqual(about.strFont, "新細明體", "about box font");
    CheckEqual(about.nPointSize, 9, "about box font size");
    CheckEqual(static_cast<long long>(about.items.size()), 4, "controls of the about box");
    const DialogItem kAboutItems[] = {
        {WS_CHILD | WS_VISIBLE | SS_ICON, 0xFFFF, "Static", "#128", 11, 17, 20, 20},
        {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_NOPREFIX, 0xFFFF, "Static", "KT3916Flash Version 1.1", 40, 10, 119, 8},
        {WS_CHILD | WS_VISIBLE | WS_GROUP, 0xFFFF, "Static", "", 40, 25, 119, 8},
        {WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_GROUP | BS_DEFPUSHBUTTON, IDOK, "Button", "確定", 178, 7, 50, 14},
    };
    for (size_t i = 0; i < 4; ++i) {
        std::string strWhere = "about box control " + std::to_string(i + 1);
        CheckItem(about.items[i], kAboutItems[i], strWhere);
        if (i == 2)
            Check(!about.items[i].strText.empty(), "the about box has no legal notice line");
        else
            CheckEqual(about.items[i].strText, kAboutItems[i].strText, strWhere + " text");
    }
}

void CheckStringTable(HMODULE hModule)
{
    std::map<unsigned, std::string> actual;
    for (unsigned nBlock = 1; nBlock <= 0x1000; ++nBlock) {
        DWORD nSize = 0;
        auto* p = static_cast<const WORD*>(
            LoadTemplateResource(hModule, MAKEINTRESOURCEW(6) /* RT_STRING */, static_cast<WORD>(nBlock), &nSize));
        if (p == nullptr)
            continue;
        for (unsigned i = 0; i < 16; ++i) {
            WORD nLength = *p++;
            if (nLength != 0)
                actual[(nBlock - 1) * 16 + i] = Utf8(std::wstring(reinterpret_cast<const wchar_t*>(p), nLength));
            p += nLength;
        }
    }
    for (const auto& [nID, strText] : kStrings) {
        auto it = actual.find(nID);
        Check(it != actual.end(), "string " + Hex(nID) + " missing");
        CheckEqual(it->second, strText, "string " + Hex(nID));
    }
    CheckEqual(static_cast<long long>(actual.size()), static_cast<long long>(kStrings.size()),
               "entries of the string table");
}

void CheckMenuAndAccelerators(HMODULE hModule)
{
    HMENU hMenu = LoadMenuW(hModule, MAKEINTRESOURCEW(128));
    Check(hMenu != nullptr, "menu 128 missing");
    CheckEqual(GetMenuItemCount(hMenu), 1, "items of the menu bar");
    wchar_t szText[128] = {};
    GetMenuStringW(hMenu, 0, szText, 128, MF_BYPOSITION);
    CheckEqual(Utf8(szText), "說明(&H)", "the menu bar's popup");
    HMENU hPopup = GetSubMenu(hMenu, 0);
    Check(hPopup != nullptr, "the menu bar's item is not a popup");
    CheckEqual(GetMenuItemCount(hPopup), 1, "items of the popup");
    GetMenuStringW(hPopup, 0, szText, 128, MF_BYPOSITION);
    CheckEqual(Utf8(szText), "關於 KT3916Flash(&A)...", "the popup's item");
    CheckEqual(static_cast<long long>(GetMenuItemID(hPopup, 0)), 0xE140, "command of the about item");
    DestroyMenu(hMenu);

    HACCEL hAccel = LoadAcceleratorsW(hModule, MAKEINTRESOURCEW(128));
    Check(hAccel != nullptr, "accelerator table 128 missing");
    ACCEL entries[32] = {};
    int nCount = CopyAcceleratorTableW(hAccel, entries, 32);
    CheckEqual(nCount, 10, "accelerator entries");
    for (int i = 0; i < nCount; ++i) {
        const ExpectedAccelerator& expected = kAccelerators[i];
        std::string strWhere = std::string("accelerator ") + expected.pszName;
        CheckEqual(entries[i].fVirt & ~0x80, expected.fVirt, strWhere + " flags");
        CheckEqual(entries[i].key, expected.key, strWhere + " key");
        CheckEqual(entries[i].cmd, expected.cmd, strWhere + " command");
    }
}

void CheckIcon(HMODULE hModule)
{
    DWORD nSize = 0;
    auto* pGroup =
        static_cast<const BYTE*>(LoadTemplateResource(hModule, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, 128, &nSize));
    Check(pGroup != nullptr && nSize >= 6 + 14, "icon 128 missing");
    WORD nImages = *reinterpret_cast<const WORD*>(pGroup + 4);
    CheckEqual(nImages, 1, "images in icon 128");
    const BYTE* pEntry = pGroup + 6;
    CheckEqual(pEntry[0], 60, "icon width");
    CheckEqual(pEntry[1], 60, "icon height");
    CheckEqual(*reinterpret_cast<const WORD*>(pEntry + 6), 24, "icon bits per pixel");
    WORD nImageId = *reinterpret_cast<const WORD*>(pEntry + 12);
    auto* pInfo = static_cast<const BITMAPINFOHEADER*>(
        LoadTemplateResource(hModule, MAKEINTRESOURCEW(3) /* RT_ICON */, nImageId));
    Check(pInfo != nullptr, "icon image missing");
    CheckEqual(pInfo->biWidth, 60, "icon image width");
    CheckEqual(pInfo->biHeight, 120, "icon image height (picture and mask)");
    CheckEqual(pInfo->biBitCount, 24, "icon image bits per pixel");
}

std::string VersionString(const std::vector<char>& info, const char* pszName)
{
    char* pszValue = nullptr;
    UINT nLength = 0;
    std::string strPath = std::string("\\StringFileInfo\\040404b0\\") + pszName;
    if (!VerQueryValueA(info.data(), strPath.c_str(), reinterpret_cast<void**>(&pszValue), &nLength))
        Fail(std::string("version record has no ") + pszName);
    return nLength == 0 ? std::string() : std::string(pszValue);
}

void CheckVersion(const std::string& strExe)
{
    DWORD nHandle = 0;
    DWORD nSize = GetFileVersionInfoSizeA(strExe.c_str(), &nHandle);
    Check(nSize != 0, "the exe has no version record");
    std::vector<char> info(nSize);
    Check(GetFileVersionInfoA(strExe.c_str(), 0, nSize, info.data()), "cannot read the version record");
    VS_FIXEDFILEINFO* pFixed = nullptr;
    UINT nLength = 0;
    Check(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&pFixed), &nLength) && pFixed != nullptr,
          "version record without fixed part");
    CheckEqual(Hex(pFixed->dwFileVersionMS), "0x10000", "file version high");
    CheckEqual(Hex(pFixed->dwFileVersionLS), "0x1", "file version low");
    CheckEqual(Hex(pFixed->dwProductVersionMS), "0x10000", "product version high");
    CheckEqual(Hex(pFixed->dwProductVersionLS), "0x1", "product version low");
    CheckEqual(pFixed->dwFileFlags, 0, "version flags");
    CheckEqual(pFixed->dwFileOS, VOS__WINDOWS32, "version file OS");
    CheckEqual(pFixed->dwFileType, VFT_APP, "version file type");

    WORD* pTranslation = nullptr;
    Check(
        VerQueryValueA(info.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &nLength) &&
            nLength >= 4,
        "version record without translation");
    CheckEqual(pTranslation[0], 0x0404, "version language");
    CheckEqual(pTranslation[1], 1200, "version code page");

    CheckEqual(VersionString(info, "FileDescription"), "KT3916 Flash TOOL", "FileDescription");
    CheckEqual(VersionString(info, "InternalName"), "KT3916Flash", "InternalName");
    CheckEqual(VersionString(info, "OriginalFilename"), "KT3916Flash.EXE", "OriginalFilename");
    CheckEqual(VersionString(info, "ProductName"), "KT3916Flash Application", "ProductName");
    CheckEqual(VersionString(info, "FileVersion"), "1, 0, 0, 1", "FileVersion");
    CheckEqual(VersionString(info, "ProductVersion"), "1, 0, 0, 1", "ProductVersion");
    for (const char* pszEmpty : {"Comments", "LegalTrademarks", "PrivateBuild", "SpecialBuild"})
        CheckEqual(VersionString(info, pszEmpty), "", pszEmpty);
    Check(!VersionString(info, "CompanyName").empty(), "CompanyName is empty");
    Check(!VersionString(info, "LegalCopyright").empty(), "LegalCopyright is empty");
}

void CheckManifest(HMODULE hModule)
{
    DWORD nSize = 0;
    auto* pText =
        static_cast<const char*>(LoadTemplateResource(hModule, MAKEINTRESOURCEW(24) /* RT_MANIFEST */, 1, &nSize));
    Check(pText != nullptr, "manifest 1 missing");
    std::string strManifest(pText, nSize);
    for (const char* pszPart :
         {"<description>KT3916 flash program</description>",
#ifdef _WIN64
          "processorArchitecture=\"amd64\" name=\"",
#else
          "processorArchitecture=\"X86\" name=\"",
#endif
          "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", "publicKeyToken=\"6595b64144ccf1df\"",
          "language=\"*\"", "<assemblyIdentity version=\"1.0.0.0\"",
          "<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">",
          "<requestedExecutionLevel level=\"highestAvailable\" uiAccess=\"false\"/>"})
        Check(strManifest.find(pszPart) != std::string::npos, std::string("manifest lacks ") + pszPart);
}

BOOL CALLBACK OnLanguage(HMODULE, LPCWSTR pszType, LPCWSTR pszName, WORD nLanguage, LONG_PTR)
{
    if (nLanguage != kLanguage)
        Fail("resource type " + std::to_string(reinterpret_cast<UINT_PTR>(pszType)) + " name " +
             std::to_string(reinterpret_cast<UINT_PTR>(pszName)) + " has language " + Hex(nLanguage));
    return TRUE;
}

BOOL CALLBACK OnName(HMODULE hModule, LPCWSTR pszType, LPWSTR pszName, LONG_PTR lParam)
{
    EnumResourceLanguagesW(hModule, pszType, pszName, OnLanguage, lParam);
    return TRUE;
}

BOOL CALLBACK OnType(HMODULE hModule, LPWSTR pszType, LONG_PTR lParam)
{
    ++*reinterpret_cast<int*>(lParam);
    EnumResourceNamesW(hModule, pszType, OnName, 0);
    return TRUE;
}
}  // namespace

void CheckResources(const std::string& strExe)
{
    HMODULE hModule = LoadLibraryExA(strExe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    Check(hModule != nullptr, "cannot load " + strExe + " as a data file");
    int nTypes = 0;
    EnumResourceTypesW(hModule, OnType, reinterpret_cast<LONG_PTR>(&nTypes));
    // icon, icon group, menu, accelerators, dialogs, strings, version, manifest
    CheckEqual(nTypes, 8, "resource types");
    CheckStringTable(hModule);
    CheckMenuAndAccelerators(hModule);
    CheckIcon(hModule);
    CheckDialogs(hModule);
    CheckManifest(hModule);
    FreeLibrary(hModule);
    CheckVersion(strExe);
    Note("resources as expected");
}
