#include "cli/command_tally.h"

#include "device/aspi_srb.h"

bool CCommandTally::SendPassThrough(HostHandle device, PassThroughRequest& request)
{
    ++m_counts[request.sptd.Cdb[0]];
    return m_inner.SendPassThrough(device, request);
}

uint32_t CCommandTally::CallSendASPI32Command(AspiEntryPoint entry, void* srb)
{
    // Only an execute request carries a command for the device; the others
    // ask the layer about adapters and targets.
    if (srb && static_cast<const uint8_t*>(srb)[0] == SC_EXEC_SCSI_CMD) {
        ++m_counts[static_cast<const SRB_ExecSCSICmd*>(srb)->CDBByte[0]];
    }
    return InnerAspi().CallSendASPI32Command(entry, srb);
}
