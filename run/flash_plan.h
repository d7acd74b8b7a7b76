#pragma once
#include <memory>
#include <string>
#include <vector>

#include "run/device_list.h"
#include "run/drive_hold.h"
#include "run/flash_events.h"
#include "run/image_check.h"
#include "run/run_environment.h"
#include "run/run_options.h"

class CRunRecords;

// What a flash settles before its transfer: the image, and the drives it
// writes, each taken for the run alone and, where the run expects an
// identity or keeps a transcript, asked its INQUIRY once.
struct FlashPlan {
    ImageCheck check;
    std::vector<ListedDevice> devices;  // as the listing found them
    std::vector<char> drives;
    // One of each per drive: its hold, its identity (not asked: empty) and
    // its record (a skipped drive's is filled in).
    std::vector<std::unique_ptr<CDriveHold>> holds;
    std::vector<ListedDevice> identities;
    std::vector<FlashRecord> records;
    std::vector<size_t> flashed;  // the drives to flash, as indexes
    // Why nothing may be sent: said on stderr already.
    CliExit exit = kExitSuccess;
    std::string strError;
    FlashRecord failure;  // what is known of the one drive that stopped it
};

// False when nothing may be sent, with the plan's exit, strError and failure.
bool PlanFlash(const CliOptions& options, IScsiHost& host, IClock& clock, CliEnvironment& env, CRunRecords& records,
               FlashPlan& plan);

// Takes a drive for one run alone (see CDriveHold); its notes go to stderr.
std::unique_ptr<CDriveHold> HoldDrive(IScsiHost& host, char drive, IClock& clock, CliEnvironment& env);

// Where the drive lives, as the listing found it.
std::string NodeOf(IScsiHost& host, const std::vector<ListedDevice>& devices, char drive);
