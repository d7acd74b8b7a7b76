#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "form/form_window.h"
#include "tests/progress_model.h"

// A form window that records every call, in order, as one line of text, and
// models the controls: the combo box's items and selection, the progress bar
// (through ProgressModel), the texts, the button and the armed timers.
class RecordingWindow final : public IFormWindow {
public:
    void InsertDeviceItem(int index, const std::string& text) override
    {
        Record("Insert " + std::to_string(index) + " " + text);
        if (index < 0 || index > static_cast<int>(m_items.size()))
            index = static_cast<int>(m_items.size());
        m_items.insert(m_items.begin() + index, text);
    }
    void SetDeviceSelection(int index) override
    {
        Record("Select " + std::to_string(index));
        m_nSelection = index >= 0 && index < static_cast<int>(m_items.size()) ? index : -1;
    }
    int GetDeviceSelection() override
    {
        Record("GetSelection");
        return m_nSelection;
    }

    void EnableDeviceList(bool enable) override
    {
        Record(enable ? "ListEnable 1" : "ListEnable 0");
        m_bListEnabled = enable;
    }

    void SetStatusText(const std::string& text) override
    {
        Record("Status " + text);
        m_strStatus = text;
    }
    void SetDeviceVersionText(const std::string& text) override
    {
        Record("Version " + text);
        m_strVersion = text;
    }
    void SetFilePathText(const std::string& text) override
    {
        Record("Path " + text);
        m_strPath = text;
    }
    void SetChecksumText(const std::string& text) override
    {
        Record("Checksum " + text);
        m_strChecksum = text;
    }
    void EnableFlashButton(bool enable) override
    {
        Record(enable ? "Enable 1" : "Enable 0");
        m_bFlashEnabled = enable;
    }

    void ProgressSetRange(uint16_t minimum, uint16_t maximum) override
    {
        Record("SetRange " + std::to_string(minimum) + " " + std::to_string(maximum));
        m_progress.SetRange(minimum, maximum);
        m_positions.push_back(m_progress.Position());
    }
    void ProgressSetPos(int position) override
    {
        Record("SetPos " + std::to_string(position));
        m_progress.SetPos(position);
        m_positions.push_back(m_progress.Position());
    }
    void ProgressSetStep(int step) override
    {
        Record("SetStep " + std::to_string(step));
        m_progress.SetStep(step);
        m_positions.push_back(m_progress.Position());
    }
    void ProgressStepIt() override
    {
        Record("StepIt");
        m_progress.StepIt();
        m_positions.push_back(m_progress.Position());
    }

    void SetTimer(unsigned id, unsigned periodMs) override
    {
        Record("SetTimer " + std::to_string(id) + " " + std::to_string(periodMs));
        m_timers[id] = periodMs;
    }
    void KillTimer(unsigned id) override
    {
        Record("KillTimer " + std::to_string(id));
        m_timers.erase(id);
    }

    void MessageBox(const std::string& text) override
    {
        Record("MessageBox " + text);
        m_messages.push_back(text);
        if (m_onMessageBox)
            m_onMessageBox(text);
    }

    // The model of the controls, as the user would see it.
    std::vector<std::string> m_items;
    int m_nSelection = -1;
    bool m_bListEnabled = true;
    std::string m_strStatus = "Static";
    std::string m_strVersion;
    std::string m_strPath;
    std::string m_strChecksum;
    bool m_bFlashEnabled = true;
    ProgressModel m_progress;
    std::map<unsigned, unsigned> m_timers;  // armed timer id -> period
    std::vector<std::string> m_messages;

    std::vector<std::string> m_calls;  // every call, in order
    std::vector<int> m_positions;      // the bar's position after each progress call
    std::function<void(const std::string&)> m_onMessageBox;

    bool TimerArmed(unsigned id) const { return m_timers.count(id) != 0; }
    // The recorded calls whose text starts with prefix, in order.
    std::vector<std::string> Calls(const std::string& prefix) const
    {
        std::vector<std::string> matching;
        for (const std::string& call : m_calls) {
            if (call.compare(0, prefix.size(), prefix) == 0)
                matching.push_back(call);
        }
        return matching;
    }
    void ClearRecord()
    {
        m_calls.clear();
        m_positions.clear();
    }

private:
    void Record(const std::string& call) { m_calls.push_back(call); }
};
