#pragma once
#include <cstdint>
#include <string>
#include <vector>

// One CD-ROM-class SCSI device as sysfs shows it, with the drive letter the
// host presents it under.
struct LinuxDrive {
    char chLetter = 0;
    std::string strHctl;         // host:channel:target:lun
    std::string strBlockNode;    // "sr0", empty when the sr driver has none
    std::string strGenericNode;  // "sg1", empty when the sg driver has none
    std::string strVendor;       // as sysfs reports them, blanks trimmed
    std::string strModel;
    std::string strRevision;
    // Where the device hangs off the machine: its sysfs path up to its SCSI
    // host (a USB interface, a controller), which a unit that drops off the
    // bus and re-enumerates keeps while its host, sg and sr numbers change.
    std::string strPlace;
    // What tells two units of one kind apart, where the device or its USB
    // bridge says: the serial number VPD page and the USB serial.
    std::string strSerial;
};

// A unit's serial number for its records, from what the scan read: the
// serial number VPD page's text, else the USB serial; printable ASCII with
// blanks trimmed, empty when neither says one.
std::string SerialText(const LinuxDrive& drive);

// Reads the CD-ROM-class (peripheral type 5) devices from the sysfs tree at
// sysRoot, in the order of their block nodes (sr0, sr1, ...), devices without
// a block node last; letters are not assigned here.
std::vector<LinuxDrive> ScanSysfsCdroms(const std::string& sysRoot);
