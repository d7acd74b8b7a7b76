#pragma once
#include <functional>
#include <string>

// Failure reporting of the GUI driver: the first mismatch ends the scenario
// with a reason, after the cleanup (ending the program under test) has run.

void SetScenarioName(const std::string& strName);
void SetFailCleanup(std::function<void()> cleanup);
[[noreturn]] void Fail(const std::string& strWhy);
void Note(const std::string& strWhat);

void Check(bool bCondition, const std::string& strWhat);
void CheckEqual(const std::string& strActual, const std::string& strExpected, const std::string& strWhat);
void CheckEqual(long long nActual, long long nExpected, const std::string& strWhat);
void CheckBetween(long long nActual, long long nLow, long long nHigh, const std::string& strWhat);

// UTF-16 <-> UTF-8, for comparing and printing window texts.
std::string Utf8(const std::wstring& strText);
std::wstring Utf16(const std::string& strText);
