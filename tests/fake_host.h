#pragma once
// A scriptable IScsiHost for unit tests: drives, handles, pass-through and an
// ASPI layer whose every answer a test can set, with a log of the calls in
// order and a list of misuse it noticed (double close, unknown handle, wrong
// entry point).
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "device/aspi_host.h"
#include "device/aspi_srb.h"
#include "device/host.h"

class FakeScsiHost : public IScsiHost, public IAspiHost {
public:
    struct AspiTarget {
        uint8_t status = SS_COMP;
        uint8_t deviceType = kPeripheralTypeCdrom;
        uint8_t driveNumber = 0xFF;  // SRB_Int13HDriveInfo
    };

    // -- platform and counter
    bool versionOk = true;
    uint32_t platformId = 2;  // NT family
    int64_t frequency = 1000;
    int64_t counter = 0;
    int64_t counterStep = 10;  // every reading advances the counter by this

    // -- drives. Roots as the system lists them; a letter's type by upper-case
    // letter (1, no root directory, when not set).
    std::vector<std::string> roots;
    std::map<char, uint32_t> driveTypes;
    bool driveListFails = false;
    // When set, the drive list call returns this instead of the list length
    // (the list is still written when it fits).
    std::function<uint32_t(uint32_t bufferLength, char* buffer)> onDriveList;
    std::set<std::string> unopenablePaths;

    // -- pass-through: result of the call; may change the request.
    std::function<bool(HostHandle, PassThroughRequest&)> onPassThrough;

    // -- ASPI layer
    bool aspiPresent = true;
    bool hasSupportInfo = true;
    bool hasSendCommand = true;
    uint32_t supportInfo = (uint32_t{SS_COMP} << 8) | 1;
    std::map<std::pair<int, int>, AspiTarget> aspiTargets;
    uint8_t diskInfoStatus = SS_COMP;  // SRB_Status of every disk-information query
    // Executes an SRB_ExecSCSICmd; the return value is that of
    // SendASPI32Command. Default: completes at once with SS_COMP.
    std::function<uint32_t(SRB_ExecSCSICmd&)> onExec;
    // Called for each wait; the default reports whether the event is set.
    std::function<bool(HostHandle, uint32_t)> onWait;
    bool eventCreationFails = false;

    // -- memory: how many more data buffers can be had (-1: any number)
    int dataBuffersLeft = -1;

    // -- what happened
    std::vector<std::string> log;  // "open \\.\D: -> 256", "close 256", ...
    std::vector<std::string> errors;
    std::vector<std::string> driveKindQueries;
    std::vector<uint32_t> driveListBufferLengths;
    std::vector<std::string> openedPaths;
    std::set<HostHandle> openHandles;
    std::vector<HostHandle> closedHandles;
    struct PassThroughCall {
        HostHandle device;
        PassThroughRequest request;    // as it arrived
        std::vector<uint8_t> dataOut;  // the bytes sent, for data to the device
    };
    std::vector<PassThroughCall> passThroughCalls;
    int libraryLoads = 0;
    int libraryFrees = 0;
    std::vector<std::string> entryLookups;
    int supportInfoCalls = 0;
    std::vector<std::pair<int, int>> devTypeQueries;   // (adapter, target)
    std::vector<std::pair<int, int>> diskInfoQueries;  // (adapter, target)
    std::vector<SRB_GDEVBlock> devTypeBlocks;
    std::vector<SRB_ExecSCSICmd> execBlocks;  // as they arrived
    std::vector<SRB_ExecSCSICmd*> execPointers;
    std::vector<HostHandle> createdEvents;
    std::vector<HostHandle> closedEvents;
    std::set<HostHandle> signalledEvents;
    std::vector<std::pair<HostHandle, uint32_t>> waits;
    std::vector<uint8_t*> allocatedBuffers;
    std::vector<uint8_t*> freedBuffers;

    static constexpr HostHandle kLibrary = 0x7700;

    FakeScsiHost() = default;

    void SetDrives(std::vector<std::string> driveRoots, const std::string& cdromLetters)
    {
        roots = std::move(driveRoots);
        for (const std::string& root : roots)
            driveTypes[Upper(root[0])] = kDriveTypeFixed;
        for (char letter : cdromLetters)
            driveTypes[Upper(letter)] = kDriveTypeCdrom;
    }

    std::string DriveList() const
    {
        std::string list;
        for (const std::string& root : roots) {
            list += root;
            list += '\0';
        }
        return list;  // the final empty string is added when written
    }

    // Completes a request that the layer kept pending: writes its block the
    // way a layer does, the status first, then signals the event.
    static void CompleteLater(SRB_ExecSCSICmd* srb, uint8_t status, uint8_t targStat,
                              const std::vector<uint8_t>& sense = {})
    {
        srb->SRB_TargStat = targStat;
        for (size_t i = 0; i < sense.size() && i < sizeof(srb->SenseArea); ++i)
            srb->SenseArea[i] = sense[i];
        srb->SRB_Status = status;
    }
    void CompleteLaterAndSignal(SRB_ExecSCSICmd* srb, uint8_t status, uint8_t targStat,
                                const std::vector<uint8_t>& sense = {})
    {
        CompleteLater(srb, status, targStat, sense);
        signalledEvents.insert(srb->SRB_PostProc);
    }

    bool EventClosed(HostHandle event) const
    {
        for (HostHandle closed : closedEvents)
            if (closed == event)
                return true;
        return false;
    }

    // IScsiHost
    bool GetVersionPlatformId(uint32_t& id) override
    {
        log.push_back("version");
        if (!versionOk)
            return false;
        id = platformId;
        return true;
    }
    int64_t QueryCounterFrequency() override
    {
        log.push_back("frequency");
        return frequency;
    }
    int64_t QueryCounter() override
    {
        const int64_t now = counter;
        counter += counterStep;
        return now;
    }

    uint32_t GetLogicalDriveRoots(uint32_t bufferLength, char* buffer) override
    {
        log.push_back("drives");
        driveListBufferLengths.push_back(bufferLength);
        if (driveListFails)
            return 0;
        const std::string list = DriveList();
        const uint32_t written = static_cast<uint32_t>(list.size());
        if (written + 1 <= bufferLength) {
            std::memcpy(buffer, list.data(), list.size());
            buffer[list.size()] = '\0';
        }
        if (onDriveList)
            return onDriveList(bufferLength, buffer);
        return written + 1 <= bufferLength ? written : written + 1;
    }
    uint32_t GetDriveKind(const char* rootPath) override
    {
        driveKindQueries.emplace_back(rootPath);
        const std::string text(rootPath);
        if (text.size() < 2 || text[1] != ':' || (text.size() > 2 && text.substr(2) != "\\"))
            return 1;
        const auto found = driveTypes.find(Upper(text[0]));
        return found == driveTypes.end() ? 1 : found->second;
    }
    HostHandle OpenDevice(const char* path) override
    {
        openedPaths.emplace_back(path);
        if (unopenablePaths.count(path) != 0) {
            log.push_back(std::string("open ") + path + " -> invalid");
            return kInvalidHandle;
        }
        const HostHandle handle = m_nextHandle;
        m_nextHandle += 4;
        openHandles.insert(handle);
        log.push_back(std::string("open ") + path + " -> " + std::to_string(handle));
        return handle;
    }
    void CloseDevice(HostHandle device) override
    {
        log.push_back("close " + std::to_string(device));
        closedHandles.push_back(device);
        if (openHandles.erase(device) == 0)
            errors.push_back("close of a handle that is not open: " + std::to_string(device));
    }
    bool SendPassThrough(HostHandle device, PassThroughRequest& request) override
    {
        log.push_back("passthrough " + std::to_string(device));
        if (openHandles.count(device) == 0)
            errors.push_back("pass-through on a handle that is not open");
        PassThroughCall call{device, request, {}};
        if (request.sptd.DataIn == kDataOut && request.sptd.DataBuffer != nullptr) {
            const auto* data = static_cast<const uint8_t*>(request.sptd.DataBuffer);
            call.dataOut.assign(data, data + request.sptd.DataTransferLength);
        }
        passThroughCalls.push_back(std::move(call));
        if (onPassThrough)
            return onPassThrough(device, request);
        return true;
    }

    // The layer is always there to load; aspiPresent says whether it loads.
    IAspiHost* Aspi() override { return this; }

    HostHandle LoadAspiLibrary(const char* name) override
    {
        log.push_back(std::string("load ") + name);
        if (!aspiPresent)
            return 0;
        if (std::string(name) != "WNASPI32")
            errors.push_back(std::string("unexpected library ") + name);
        ++libraryLoads;
        return kLibrary;
    }
    AspiEntryPoint FindAspiEntryPoint(HostHandle library, const char* name) override
    {
        entryLookups.emplace_back(name);
        if (library != kLibrary || libraryLoads == libraryFrees)
            errors.push_back("entry point looked up in a library that is not loaded");
        const std::string entry(name);
        if (entry == "GetASPI32SupportInfo" && hasSupportInfo)
            return kSupportInfoEntry();
        if (entry == "SendASPI32Command" && hasSendCommand)
            return kSendCommandEntry();
        return nullptr;
    }
    void FreeAspiLibrary(HostHandle library) override
    {
        log.push_back("free library");
        ++libraryFrees;
        if (library != kLibrary)
            errors.push_back("freed a library that was not loaded");
    }
    uint32_t CallGetASPI32SupportInfo(AspiEntryPoint entry) override
    {
        ++supportInfoCalls;
        if (entry != kSupportInfoEntry())
            errors.push_back("GetASPI32SupportInfo called through the wrong entry point");
        return supportInfo;
    }
    uint32_t CallSendASPI32Command(AspiEntryPoint entry, void* srb) override
    {
        if (entry != kSendCommandEntry())
            errors.push_back("SendASPI32Command called through the wrong entry point");
        auto* bytes = static_cast<uint8_t*>(srb);
        switch (bytes[0]) {
        case SC_GET_DEV_TYPE: {
            auto* block = static_cast<SRB_GDEVBlock*>(srb);
            devTypeQueries.emplace_back(block->SRB_HaId, block->SRB_Target);
            devTypeBlocks.push_back(*block);
            const auto found = aspiTargets.find({block->SRB_HaId, block->SRB_Target});
            if (found == aspiTargets.end() || block->SRB_Lun != 0) {
                block->SRB_Status = SS_NO_DEVICE;
            } else {
                block->SRB_Status = found->second.status;
                block->SRB_DeviceType = found->second.deviceType;
            }
            return block->SRB_Status;
        }
        case SC_GET_DISK_INFO: {
            auto* block = static_cast<SRB_GetDiskInfo*>(srb);
            diskInfoQueries.emplace_back(block->SRB_HaId, block->SRB_Target);
            const auto found = aspiTargets.find({block->SRB_HaId, block->SRB_Target});
            block->SRB_Status = diskInfoStatus;
            if (found != aspiTargets.end())
                block->SRB_Int13HDriveInfo = found->second.driveNumber;
            return block->SRB_Status;
        }
        case SC_EXEC_SCSI_CMD: {
            auto* block = static_cast<SRB_ExecSCSICmd*>(srb);
            log.push_back("exec");
            execBlocks.push_back(*block);
            execPointers.push_back(block);
            if (onExec)
                return onExec(*block);
            block->SRB_TargStat = kScsiStatusGood;
            block->SRB_Status = SS_COMP;
            return SS_COMP;
        }
        default:
            errors.push_back("unknown ASPI command " + std::to_string(bytes[0]));
            return SS_ERR;
        }
    }
    HostHandle CreateCompletionEvent() override
    {
        if (eventCreationFails)
            return 0;
        const HostHandle event = m_nextEvent++;
        createdEvents.push_back(event);
        return event;
    }
    bool WaitCompletionEvent(HostHandle event, uint32_t milliseconds) override
    {
        waits.emplace_back(event, milliseconds);
        if (EventClosed(event))
            errors.push_back("wait on a closed event");
        if (onWait)
            return onWait(event, milliseconds);
        return signalledEvents.count(event) != 0;
    }
    void CloseCompletionEvent(HostHandle event) override
    {
        if (EventClosed(event))
            errors.push_back("event closed twice");
        closedEvents.push_back(event);
    }

    uint8_t* AllocateDataBuffer(uint32_t length) override
    {
        if (dataBuffersLeft == 0)
            return nullptr;
        if (dataBuffersLeft > 0)
            --dataBuffersLeft;
        uint8_t* buffer = IScsiHost::AllocateDataBuffer(length);
        allocatedBuffers.push_back(buffer);
        return buffer;
    }
    void FreeDataBuffer(uint8_t* buffer) override
    {
        if (buffer == nullptr)
            errors.push_back("freed a null data buffer");
        freedBuffers.push_back(buffer);
        IScsiHost::FreeDataBuffer(buffer);
    }

private:
    static char Upper(char letter)
    {
        return (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
    }
    static AspiEntryPoint kSupportInfoEntry() { return reinterpret_cast<AspiEntryPoint>(0x1100); }
    static AspiEntryPoint kSendCommandEntry() { return reinterpret_cast<AspiEntryPoint>(0x1200); }

    HostHandle m_nextHandle = 0x100;
    HostHandle m_nextEvent = 0x9000;
};
