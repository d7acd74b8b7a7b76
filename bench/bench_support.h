#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "device/linux/linux_host.h"

// A file in the temporary directory, removed again by the destructor.
class CBenchFile {
public:
    // length bytes of a fixed pattern; sparse: a hole of that length.
    CBenchFile(const std::string& name, uint64_t length, bool sparse = false);
    ~CBenchFile();
    CBenchFile(const CBenchFile&) = delete;
    CBenchFile& operator=(const CBenchFile&) = delete;
    const std::string& Path() const { return m_strPath; }

private:
    std::string m_strPath;
};

// A Linux host over a one-drive sysfs tree in a temporary folder and a
// kernel whose SG_IO answers GOOD at once: the production translation with
// no device behind it.
class CNullSgBench {
public:
    CNullSgBench();
    ~CNullSgBench();
    CLinuxHost& Host() { return *m_pHost; }

private:
    std::string m_strRoot;
    std::unique_ptr<ILinuxKernel> m_pKernel;
    std::unique_ptr<CLinuxHost> m_pHost;
};
