#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstring>
#include <string>

#include "device/linux/sg_translate.h"

bool IsShortWrite(const sg_io_hdr_t& header, const ScsiPassThroughDirect& sptd)
{
    // Whatever the status says, a write the residual count calls incomplete
    // left part of the data behind; a residual that makes no sense is no
    // proof of the opposite either.
    return sptd.DataIn == kDataOut && header.resid != 0;
}

bool BuildSgIoHeader(PassThroughRequest& request, sg_io_hdr_t& header, uint8_t* senseBuffer, uint8_t senseBufferLength,
                     std::string& error)
{
    ScsiPassThroughDirect& sptd = request.sptd;
    std::memset(&header, 0, sizeof header);
    if (sptd.CdbLength == 0 || sptd.CdbLength > sizeof sptd.Cdb) {
        error = "command length " + std::to_string(sptd.CdbLength) + " is outside 1..16";
        return false;
    }
    header.interface_id = 'S';
    if (sptd.DataTransferLength == 0) {
        header.dxfer_direction = SG_DXFER_NONE;
    } else if (sptd.DataIn == kDataIn) {
        header.dxfer_direction = SG_DXFER_FROM_DEV;
    } else if (sptd.DataIn == kDataOut) {
        header.dxfer_direction = SG_DXFER_TO_DEV;
    } else {
        // A guessed direction could write a buffer the caller meant to receive.
        error = "transfer direction " + std::to_string(sptd.DataIn) + " is neither in nor out";
        return false;
    }
    header.cmd_len = sptd.CdbLength;
    header.cmdp = sptd.Cdb;
    header.dxfer_len = sptd.DataTransferLength;
    header.dxferp = sptd.DataTransferLength ? sptd.DataBuffer : nullptr;
    header.mx_sb_len = senseBufferLength;
    header.sbp = senseBuffer;
    const unsigned long long timeoutMs = static_cast<unsigned long long>(sptd.TimeOutValue) * 1000u;
    header.timeout = timeoutMs > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(timeoutMs);
    return true;
}

bool CompleteSgIoRequest(const sg_io_hdr_t& header, const uint8_t* senseBuffer, PassThroughRequest& request)
{
    ScsiPassThroughDirect& sptd = request.sptd;
    sptd.ScsiStatus = header.status;
    if (header.resid > 0 && static_cast<uint32_t>(header.resid) <= sptd.DataTransferLength) {
        sptd.DataTransferLength -= static_cast<uint32_t>(header.resid);
    }

    // The sense goes where the request says, but never over the record
    // itself nor past the end of the request block.
    size_t count = std::min<size_t>({header.sb_len_wr, header.mx_sb_len, sptd.SenseInfoLength});
    const size_t offset = sptd.SenseInfoOffset;
    if (count > 0 && offset >= sizeof(ScsiPassThroughDirect) && offset < sizeof(PassThroughRequest)) {
        count = std::min(count, sizeof(PassThroughRequest) - offset);
        std::memcpy(reinterpret_cast<uint8_t*>(&request) + offset, senseBuffer, count);
    }

    // DRIVER_SENSE alone only tells that sense data came back, which goes
    // with a CHECK CONDITION from the target: the call itself went through,
    // and the status says the rest. Any other driver or host code means the
    // command never got a proper answer from the target.
    const bool hostOk = header.host_status == 0;
    const bool driverOk = (header.driver_status & ~kSgDriverSense) == 0;
    return hostOk && driverOk && !IsShortWrite(header, sptd);
}
