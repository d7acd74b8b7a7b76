#pragma once
#include <cstdint>

#include "device/host_types.h"

// The ASPI layer of Windows 9x, loaded at run time: only a host whose system
// has one offers it (IScsiHost::Aspi). Methods carry the Win32 semantics of
// the service they stand for.
class IAspiHost {
public:
    virtual ~IAspiHost() = default;

    virtual HostHandle LoadAspiLibrary(const char* name) = 0;                             // 0 when not loaded
    virtual AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) = 0;  // null when missing
    virtual void FreeAspiLibrary(HostHandle library) = 0;
    virtual uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) = 0;
    // srb points at one of the SRB_* blocks of aspi_srb.h.
    virtual uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) = 0;
    // CreateEventA(no security, manual reset, not signalled, no name); 0 on failure.
    virtual HostHandle CreateCompletionEvent() = 0;
    // WaitForSingleObject: true when the event was signalled in time.
    virtual bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) = 0;
    virtual void CloseCompletionEvent(HostHandle event) = 0;
};
