#include "run/image_check.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/input_file.h"
#include "device/flash_device.h"
#include "form/block_plan.h"
#include "form/image_digest.h"

std::string Sha256Text(const ImageDigest& digest)
{
    std::string text;
    char pair[3];
    for (uint8_t byte : digest.sha256) {
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned>(byte));
        text += pair;
    }
    return text;
}

ImageCheck CheckImage(const std::string& path, bool withChecksum, std::vector<uint8_t>* bytes)
{
    ImageCheck check;
    check.strPath = path;
    const auto unreadable = [&check](const std::string& error) {
        check.exit = kExitImageUnreadable;
        check.strError = error;
        return check;
    };
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        return unreadable("cannot read the image " + path + ": it is a directory");
    CInputFile file;
    if (!file.Open(path)) {
        const int error = file.GetOpenErrno();
        return unreadable("cannot open the image " + path + ": " +
                          (file.GetOpenFailure() == InputOpenFailure::NotRegular || !error
                               ? std::string("not a regular file")
                               : std::error_code(error, std::generic_category()).message()));
    }
    check.nSize = file.GetLength();
    if (check.nSize < 0)
        return unreadable("cannot take the length of the image " + path);
    // Size, plan and checksum all come from this one open, the way the form
    // checks an image: the bytes summed are the length judged.
    if (withChecksum) {
        ImageDigest digest;
        if (!DigestImage(file, digest, bytes))
            return unreadable("cannot read the image " + path);
        check.nSize = digest.nLength;
        check.bHasChecksum = true;
        check.digest = digest;
    }
    file.Close();
    if (const BlockPlan* plan = FindBlockPlan(check.nSize)) {
        check.nBlocks = plan->blockCount;
        check.nFinalBytes = plan->finalBytes;
        check.byFinalMarker = plan->finalMarker;
    } else {
        check.exit = kExitNotFlashable;
        check.strError = "the image " + path + " is " + std::to_string(check.nSize) +
                         " bytes long: only images of 524288 or 1048576 bytes can be flashed";
    }
    return check;
}

std::string FormatImageCheck(const ImageCheck& check)
{
    std::string text = "image     " + check.strPath + "\n";
    text += "size      " + std::to_string(check.nSize) + " bytes\n";
    if (check.nBlocks) {
        char plan[128];
        std::snprintf(plan, sizeof plan, "%u blocks: %u x %u bytes, then %u bytes with final marker 0x%02X\n",
                      check.nBlocks, check.nBlocks - 1, kBlockLength, check.nFinalBytes, check.byFinalMarker);
        text += "plan      " + std::string(plan);
    } else {
        text += "plan      not flashable (the size must be 524288 or 1048576 bytes)\n";
    }
    if (check.bHasChecksum)
        text += "checksum  " + ChecksumText(check.digest.nChecksum) + "\n";
    return text;
}
