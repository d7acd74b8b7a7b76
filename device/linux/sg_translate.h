#pragma once
#include <scsi/sg.h>

#include <cstdint>
#include <string>

#include "device/host.h"

constexpr uint16_t kSgDriverSense = 0x08;  // the driver only says sense data came back

// The translation of one pass-through request into an sg_io_hdr and back.
// Build fails (and says why in error) on a request the sg driver cannot carry
// faithfully: a command length outside 1..16 or an unknown direction.
bool BuildSgIoHeader(PassThroughRequest& request, sg_io_hdr_t& header, uint8_t* senseBuffer, uint8_t senseBufferLength,
                     std::string& error);
// Writes the outcome back into the request the way the pass-through call
// leaves it: ScsiStatus, the transferred length, the sense data. Returns the
// result of the call itself: false when the adapter or the driver failed the
// command or a write moved fewer bytes than asked, true when the target
// answered (whatever its status).
bool CompleteSgIoRequest(const sg_io_hdr_t& header, const uint8_t* senseBuffer, PassThroughRequest& request);
// A data-out transfer whose residual count is not zero.
bool IsShortWrite(const sg_io_hdr_t& header, const ScsiPassThroughDirect& sptd);
