#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/drive_nodes.h"
#include "device/host.h"
#include "run/exit_codes.h"

// One device as 'list' shows it.
struct ListedDevice {
    int nIndex = 0;
    char chDrive = 0;  // 0 for a device reached without a drive letter (ASPI)
    std::string strNode;
    std::string strVendor;    // INQUIRY bytes 8..15, blanks trimmed
    std::string strProduct;   // bytes 16..31
    std::string strRevision;  // bytes 32..35
    bool bAnswered = false;   // the INQUIRY succeeded
};

// Vendor, product and revision from standard INQUIRY data (36 bytes): each
// field ends early at a zero byte, its trailing blanks cut.
void ReadInquiryIdentity(const uint8_t* data, ListedDevice& listed);

// Discovers the devices with a device object of its own, asks each for its
// INQUIRY data, and closes them all again before returning.
// With identify, each device is asked for its identity (INQUIRY); without,
// only the drives are enumerated and no device receives a command.
std::vector<ListedDevice> ListDevices(IScsiHost& host, bool identify = true);

// Sends one INQUIRY to one drive and closes it again: the drive as 'list'
// shows it (bAnswered false when it did not answer).
ListedDevice IdentifyDrive(IScsiHost& host, char drive);

// Why a drive could not be opened, with what gives access (a group to
// join, the package's udev rule, a module to load, an administrator
// prompt); empty when it did not fail or for no reason the host names.
std::string OpenFailureText(const OpenFailure& failure);
// The host's last open of the drive, so worded; empty where it cannot tell.
std::string OpenProblem(IScsiHost& host, char drive);
// The drives that the last listing could not open because another program
// has them: there, but not to be used now. Empty where the host cannot tell.
std::vector<char> BusyDrives(IScsiHost& host);

// The device a flash is aimed at: from --device, or the only one found.
// A busy drive counts as found: it may be chosen (its flash then says it is
// busy), and it is never passed over for the only other one.
struct DeviceChoice {
    CliExit exit = kExitSuccess;  // kExitSuccess when chosen
    std::string strError;
    char chDrive = 0;
};
DeviceChoice ChooseDevice(IScsiHost& host, const std::optional<std::string>& spec,
                          const std::vector<ListedDevice>& devices, const std::vector<char>& busyDrives);

// The table of 'list' (and of a refusal to guess).
std::string FormatDeviceTable(const std::vector<ListedDevice>& devices);
std::string DeviceJson(const ListedDevice& device);

struct CliEnvironment;

// Says on stderr why each drive the system has could not be opened, where
// the host can tell.
void PrintOpenProblems(CliEnvironment& env, IScsiHost& host);
