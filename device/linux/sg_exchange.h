#pragma once
#include <scsi/sg.h>

#include <string>

#include "device/linux/system_kernel.h"

enum class SgExchange {
    Answered,  // the answer is in the header
    NotSent,   // the command was not queued
    Lost,      // queued, and no answer came: it may still run on the device
};
// One command out and its answer back, the command queued exactly once
// whatever interrupts the wait. The sg driver's own timeout (header.timeout)
// ends the command; the wait gives up graceMs after it.
SgExchange ExchangeSg(ILinuxKernel& kernel, int fd, sg_io_hdr_t& header, int graceMs, std::string& error);
