#include "gui_check.h"

#include <windows.h>

#include <cstdio>

namespace {
std::string g_strScenario;
std::function<void()> g_cleanup;

std::string Quote(const std::string& strText)
{
    return "\"" + strText + "\"";
}
}  // namespace

void SetScenarioName(const std::string& strName)
{
    g_strScenario = strName;
}

void SetFailCleanup(std::function<void()> cleanup)
{
    g_cleanup = std::move(cleanup);
}

void Fail(const std::string& strWhy)
{
    std::printf("FAIL [%s]: %s\n", g_strScenario.c_str(), strWhy.c_str());
    std::fflush(stdout);
    if (g_cleanup) {
        auto cleanup = std::move(g_cleanup);
        g_cleanup = nullptr;
        cleanup();
    }
    ExitProcess(1);
}

void Note(const std::string& strWhat)
{
    std::printf("[%s] %s\n", g_strScenario.c_str(), strWhat.c_str());
    std::fflush(stdout);
}

void Check(bool bCondition, const std::string& strWhat)
{
    if (!bCondition)
        Fail(strWhat);
}

void CheckEqual(const std::string& strActual, const std::string& strExpected, const std::string& strWhat)
{
    if (strActual != strExpected)
        Fail(strWhat + ": expected " + Quote(strExpected) + ", got " + Quote(strActual));
}

void CheckEqual(long long nActual, long long nExpected, const std::string& strWhat)
{
    if (nActual != nExpected)
        Fail(strWhat + ": expected " + std::to_string(nExpected) + ", got " + std::to_string(nActual));
}

void CheckBetween(long long nActual, long long nLow, long long nHigh, const std::string& strWhat)
{
    if (nActual < nLow || nActual > nHigh)
        Fail(strWhat + ": expected " + std::to_string(nLow) + ".." + std::to_string(nHigh) + ", got " +
             std::to_string(nActual));
}

std::string Utf8(const std::wstring& strText)
{
    if (strText.empty())
        return std::string();
    int n =
        WideCharToMultiByte(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), nullptr, 0, nullptr, nullptr);
    std::string strResult(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), strResult.data(), n, nullptr,
                        nullptr);
    return strResult;
}

std::wstring Utf16(const std::string& strText)
{
    if (strText.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), nullptr, 0);
    std::wstring strResult(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, strText.data(), static_cast<int>(strText.size()), strResult.data(), n);
    return strResult;
}
