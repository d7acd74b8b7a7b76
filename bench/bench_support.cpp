#include "bench/bench_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

CBenchFile::CBenchFile(const std::string& name, uint64_t length, bool sparse)
{
    m_strPath = (fs::temp_directory_path() / ("kt-bench-" + std::to_string(getpid()) + "-" + name)).string();
    std::ofstream out(m_strPath, std::ios::binary | std::ios::trunc);
    out.close();
    if (sparse) {
        fs::resize_file(m_strPath, length);
        return;
    }
    std::vector<char> bytes(static_cast<size_t>(length));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    std::ofstream(m_strPath, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

CBenchFile::~CBenchFile()
{
    std::error_code ec;
    fs::remove(m_strPath, ec);
}

namespace {

class CNullKernel final : public ILinuxKernel {
public:
    int Open(const char*, int) override { return 100; }
    void Close(int) override {}
    int SgSubmit(int, sg_io_hdr_t&) override { return 0; }
    int SgForcePackId(int) override { return 0; }
    int SgScsiId(int, sg_scsi_id& id) override
    {
        id = {};
        id.host_no = 1;  // the one drive of the bench's sysfs, 1:0:0:0
        return 0;
    }
    int BlockScsiId(int fd, sg_scsi_id& id) override { return SgScsiId(fd, id); }
    void SleepMs(int) override {}
    int SgReceive(int, sg_io_hdr_t& header, int) override
    {
        header.status = 0;
        header.host_status = 0;
        header.driver_status = 0;
        header.sb_len_wr = 0;
        header.resid = 0;
        return 0;
    }
    std::string NodeGroup(const char*) override { return {}; }
};

void WriteText(const fs::path& path, const std::string& text)
{
    std::ofstream(path) << text;
}

}  // namespace

CNullSgBench::CNullSgBench()
{
    m_strRoot = (fs::temp_directory_path() / ("kt-bench-sysfs-" + std::to_string(getpid()))).string();
    const fs::path device = fs::path(m_strRoot) / "sys/class/scsi_device/1:0:0:0/device";
    fs::create_directories(device / "block/sr0");
    fs::create_directories(device / "scsi_generic/sg1");
    fs::create_directories(fs::path(m_strRoot) / "dev");
    WriteText(device / "type", "5\n");
    m_pKernel = std::make_unique<CNullKernel>();
    m_pHost = std::make_unique<CLinuxHost>(LinuxHostConfig{m_strRoot + "/sys", m_strRoot + "/dev", m_pKernel.get()});
}

CNullSgBench::~CNullSgBench()
{
    m_pHost.reset();
    std::error_code ec;
    fs::remove_all(m_strRoot, ec);
}
