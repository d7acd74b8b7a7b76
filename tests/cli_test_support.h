#pragma once
#include <atomic>
#include <chrono>
#include <thread>
#include <cctype>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "base/clock.h"
#include "cli/cli_app.h"
#include "device/emulated/scenario.h"
#include "device/forwarding_host.h"
#include "device/host.h"

namespace cli_test {

// An output a test reads while the tool's writers still write it.
class CSharedStream final : public std::ostream {
public:
    CSharedStream() : std::ostream(&m_buffer) {}
    std::string Text()
    {
        std::lock_guard lock(m_buffer.mutex);
        return m_buffer.text;
    }
    // The text, once it holds part or when seconds have passed.
    std::string TextWith(const std::string& part, int seconds)
    {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        std::string text = Text();
        while (text.find(part) == std::string::npos && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            text = Text();
        }
        return text;
    }

private:
    struct CBuffer final : std::streambuf {
        int overflow(int ch) override
        {
            std::lock_guard lock(mutex);
            text += static_cast<char>(ch);
            return ch;
        }
        std::streamsize xsputn(const char* data, std::streamsize count) override
        {
            std::lock_guard lock(mutex);
            text.append(data, static_cast<size_t>(count));
            return count;
        }
        std::mutex mutex;
        std::string text;
    };
    CBuffer m_buffer;
};

struct CliRun {
    int exit = -1;
    std::string out;
    std::string err;
};

// A manual clock that runs a step once, when time first reaches a mark.
class CMarkClock final : public IClock {
public:
    CMarkClock(uint64_t markMs, std::function<void()> step) : CMarkClock({{markMs, std::move(step)}}) {}
    // Each step once its time came, in the order given.
    explicit CMarkClock(std::vector<std::pair<uint64_t, std::function<void()>>> marks) : m_marks(std::move(marks)) {}
    uint64_t NowMs() override { return m_nowMs; }
    void SleepMs(uint32_t milliseconds) override
    {
        m_nowMs += milliseconds;
        while (m_nNext < m_marks.size() && m_nowMs >= m_marks[m_nNext].first)
            std::exchange(m_marks[m_nNext++].second, nullptr)();
    }

private:
    uint64_t m_nowMs = 0;
    std::vector<std::pair<uint64_t, std::function<void()>>> m_marks;
    size_t m_nNext = 0;
};

// Runs the whole tool in-process on a manual clock: the forms' timers and
// the emulated devices move together, and nothing sleeps.
inline CliRun RunTool(const std::vector<std::string>& args, IScsiHost* host = nullptr, IClock* clock = nullptr,
                      CInterruptFlag* interrupt = nullptr, bool terminal = false, std::function<size_t()> columns = {},
                      std::function<std::unique_ptr<ISleepInhibitor>()> makeSleepInhibitor = {})
{
    ManualClock ownClock;
    std::ostringstream out;
    std::ostringstream err;
    CliEnvironment env;
    env.pOut = &out;
    env.pErr = &err;
    env.bErrIsTerminal = terminal;
    env.terminalColumns = std::move(columns);
    env.pClock = clock ? clock : &ownClock;
    env.pHost = host;
    env.pInterrupt = interrupt;
    env.makeSleepInhibitor = std::move(makeSleepInhibitor);
    CliRun run;
    run.exit = RunCli(args, env);
    run.out = out.str();
    run.err = err.str();
    return run;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A strict little JSON reader: true when text is exactly one object whose
// values are strings, numbers, true/false/null, arrays or objects. The
// top-level members land in fields (strings unescaped, others as written).
class JsonReader {
public:
    static bool ParseObject(const std::string& text, std::map<std::string, std::string>& fields)
    {
        JsonReader reader(text);
        fields.clear();
        reader.SkipSpace();
        if (!reader.Object(&fields))
            return false;
        reader.SkipSpace();
        return reader.m_pos == text.size();
    }

private:
    explicit JsonReader(const std::string& text) : m_text(text) {}

    void SkipSpace()
    {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
    }
    bool Eat(char c)
    {
        SkipSpace();
        if (m_pos < m_text.size() && m_text[m_pos] == c) {
            ++m_pos;
            return true;
        }
        return false;
    }
    bool String(std::string& out)
    {
        SkipSpace();
        if (m_pos >= m_text.size() || m_text[m_pos] != '"')
            return false;
        ++m_pos;
        while (m_pos < m_text.size()) {
            const unsigned char c = static_cast<unsigned char>(m_text[m_pos++]);
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\') {
                out += static_cast<char>(c);
                continue;
            }
            if (m_pos >= m_text.size())
                return false;
            const char e = m_text[m_pos++];
            if (e == 'u') {
                if (m_pos + 4 > m_text.size())
                    return false;
                for (int i = 0; i < 4; ++i) {
                    if (!std::isxdigit(static_cast<unsigned char>(m_text[m_pos + i])))
                        return false;
                }
                out += static_cast<char>(std::stoi(m_text.substr(m_pos, 4), nullptr, 16) & 0xFF);
                m_pos += 4;
            } else if (std::strchr("\"\\/bfnrt", e)) {
                out += e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e;
            } else {
                return false;
            }
        }
        return false;
    }
    bool Value(std::string* raw)
    {
        SkipSpace();
        const size_t start = m_pos;
        if (m_pos >= m_text.size())
            return false;
        const char c = m_text[m_pos];
        bool ok;
        if (c == '"') {
            std::string s;
            ok = String(s);
            if (ok && raw)
                *raw = s;
            return ok;
        } else if (c == '{') {
            ok = Object(nullptr);
        } else if (c == '[') {
            ++m_pos;
            ok = true;
            if (!Eat(']')) {
                do {
                    ok = Value(nullptr);
                } while (ok && Eat(','));
                ok = ok && Eat(']');
            }
        } else if (m_text.compare(m_pos, 4, "true") == 0 || m_text.compare(m_pos, 4, "null") == 0) {
            m_pos += 4;
            ok = true;
        } else if (m_text.compare(m_pos, 5, "false") == 0) {
            m_pos += 5;
            ok = true;
        } else {
            if (c == '-')
                ++m_pos;
            const size_t digits = m_pos;
            while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos])))
                ++m_pos;
            ok = m_pos > digits;
        }
        if (ok && raw)
            *raw = m_text.substr(start, m_pos - start);
        return ok;
    }
    bool Object(std::map<std::string, std::string>* fields)
    {
        if (!Eat('{'))
            return false;
        if (Eat('}'))
            return true;
        do {
            std::string key;
            std::string value;
            if (!String(key) || !Eat(':') || !Value(&value))
                return false;
            if (fields) {
                if (fields->count(key))
                    return false;  // duplicate member
                (*fields)[key] = value;
            }
        } while (Eat(','));
        return Eat('}');
    }

    const std::string& m_text;
    size_t m_pos = 0;
};

// Tests derive their hosts from the product's forwarding host.
using CForwardingHost = ::CForwardingHost;

// A host that passes everything to another one, but answers the K-th block
// write (0xFA) sent to one drive with CHECK CONDITION: a fault on one device
// of a bench while the others stay healthy.
class CFaultOnOneDriveHost final : public CForwardingHost {
public:
    CFaultOnOneDriveHost(IScsiHost& inner, char drive, uint32_t failBlock)
        : CForwardingHost(inner), m_drive(drive), m_failBlock(failBlock)
    {
    }

    HostHandle OpenDevice(const char* path) override { return Watch(m_inner.OpenDevice(path), path); }
    HostHandle OpenDeviceExclusive(const char* path, ExclusiveAccess& access) override
    {
        return Watch(m_inner.OpenDeviceExclusive(path, access), path);
    }
    void CloseDevice(HostHandle device) override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_faultyHandles.erase(device);
        }
        m_inner.CloseDevice(device);
    }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        bool faulty;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            faulty =
                m_faultyHandles.count(device) != 0 && request.sptd.Cdb[0] == 0xFA && m_blockWrites++ == m_failBlock;
        }
        if (!faulty)
            return m_inner.SendPassThrough(device, request);
        request.sptd.ScsiStatus = 0x02;
        request.senseArea[0] = 0x70;
        request.senseArea[2] = 0x03;  // MEDIUM ERROR
        request.senseArea[12] = 0x0C;
        request.senseArea[13] = 0x00;
        return true;
    }

private:
    HostHandle Watch(HostHandle handle, const char* path)
    {
        if (handle != kInvalidHandle && std::strlen(path) == 6 &&
            std::toupper(static_cast<unsigned char>(path[4])) == m_drive) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_faultyHandles[handle] = true;
        }
        return handle;
    }

    char m_drive;
    uint32_t m_failBlock;
    std::mutex m_mutex;
    std::map<HostHandle, bool> m_faultyHandles;
    uint32_t m_blockWrites = 0;
};

// A scenario the test means to be valid.
inline EmulatorScenario Scenario(const std::string& text)
{
    EmulatorScenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

// The JSON events of one kind, in order; every line must be one object.
inline std::vector<std::map<std::string, std::string>> Events(const std::string& out, const std::string& kind)
{
    std::vector<std::map<std::string, std::string>> events;
    for (const std::string& line : Lines(out)) {
        std::map<std::string, std::string> fields;
        EXPECT_TRUE(JsonReader::ParseObject(line, fields)) << "not one JSON object: " << line;
        if (fields["event"] == kind)
            events.push_back(fields);
    }
    return events;
}

}  // namespace cli_test
