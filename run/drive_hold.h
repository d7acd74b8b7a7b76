#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "base/clock.h"
#include "device/forwarding_host.h"

// Said once for the drives whose hold is NotOffered, named after it.
inline constexpr char kNoteNoExclusiveAccess[] =
    "exclusive access is not available on this system; other programs may still send commands to ";

// A drive taken for one flash run alone, before anything is sent to it, and
// the host as that run's form sees it: the drive's device path opens the
// handle taken here, and the form's closing it leaves it open, so that no
// other open of the drive comes between the survey, the transfer and the
// verification. Every other call goes to the host underneath. Taken on one
// thread, then used by the run's thread only.
class CDriveHold final : public CForwardingHost {
public:
    enum class State {
        Held,        // no other program can send the drive commands
        Busy,        // another program has the drive: nothing may be sent to it
        NotOffered,  // the system cannot give a drive to one program: the run goes on without
        NotOpened,   // the drive could not be opened: the form finds out and says why
    };

    // drive: the letter; 0 (a device reached without one) takes nothing.
    // A drive that is busy is asked again for a while: another program's
    // listing of all drives has each open only for a moment.
    CDriveHold(IScsiHost& inner, char drive, IClock& clock);
    ~CDriveHold() override;
    CDriveHold(const CDriveHold&) = delete;
    CDriveHold& operator=(const CDriveHold&) = delete;

    State GetState() const { return m_state; }
    // What the user should know about a hold that is less than whole (the
    // host's words, naming the drive); empty otherwise.
    const std::string& Note() const { return m_strNote; }
    // Gives the drive back and closes the handle; once. When the host must
    // first wait for a command still in its driver, tell hears why.
    void Release();
    void TellWaits(std::function<void(const std::string&)> tell) { m_tell = std::move(tell); }

    HostHandle OpenDevice(const char* path) override;
    void CloseDevice(HostHandle device) override;

private:
    char m_chDrive;
    State m_state = State::NotOpened;
    HostHandle m_hDevice = kInvalidHandle;
    std::string m_strNote;
    std::function<void(const std::string&)> m_tell;
};
