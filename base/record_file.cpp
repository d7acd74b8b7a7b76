#include "base/record_file.h"

#include "base/output_file.h"

CRecordFile::CRecordFile() = default;

CRecordFile::~CRecordFile()
{
    Close();
}

bool CRecordFile::Open(const std::string& path)
{
    Close();
    m_strPath = path;
    auto file = std::make_unique<COutputFile>();
    const bool opened = file->Open(path);
    m_bRegular = file->IsRegular();
    m_bNoReader = file->FifoWithoutReader();
    if (!opened) {
        m_strOpenError = file->ErrorText();
        return false;
    }
    m_strOpenError.clear();
    m_pFile = file.get();
    m_pQueue = std::make_unique<COutputQueue>(std::make_unique<CFileSink>(std::move(file)));
    m_pStream = std::make_unique<COutputQueueStream>(*m_pQueue);
    return true;
}

std::ostream& CRecordFile::Stream()
{
    return *m_pStream;
}

std::string CRecordFile::ErrorText() const
{
    if (!m_pQueue)
        return m_strOpenError;
    if (m_pQueue->Failed())
        return m_pQueue->ErrorText();
    return Replaced() ? "the file was deleted or replaced while the tool wrote to it" : std::string();
}

bool CRecordFile::FifoWithoutReader() const
{
    return m_bNoReader;
}

uint64_t CRecordFile::WriteLine(const std::string& line)
{
    if (!m_pQueue)
        return 0;
    m_pQueue->Post(line + '\n');
    return m_pQueue->Posted();
}

bool CRecordFile::WaitWritten(uint64_t mark, const std::function<bool()>& stop)
{
    return m_pQueue && m_pQueue->WaitWritten(mark, true, stop) && !Replaced();
}

bool CRecordFile::Flush(const std::function<bool()>& stop)
{
    if (m_pStream)
        m_pStream->flush();
    return m_pQueue && m_pQueue->Flush(true, stop) && !Replaced();
}

bool CRecordFile::Sync(const std::function<bool()>& stop)
{
    if (!m_bRegular)
        return !Failed();
    return Flush(stop);
}

bool CRecordFile::Failed() const
{
    return !m_pQueue || m_pQueue->Failed() || Replaced();
}

bool CRecordFile::Replaced() const
{
    return m_pFile && !m_pFile->StillAtPath();
}

void CRecordFile::FollowRenames()
{
    if (m_pFile)
        m_pFile->FollowRenames();
}

void CRecordFile::FollowRename()
{
    // A failure is the queue's to tell: the next line fails on it.
    if (m_pFile)
        m_pFile->FollowRename();
}

unsigned CRecordFile::Reopened() const
{
    return m_pFile ? m_pFile->Reopened() : 0;
}

bool CRecordFile::Close(const std::function<bool()>& stop)
{
    if (!m_pQueue)
        return false;
    m_pStream->flush();
    // Kept after closing: the failure stays to be told, and a writer left
    // to a reader that never reads still has its file.
    return m_pQueue->Close(stop) && !Replaced();
}
