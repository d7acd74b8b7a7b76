#pragma once
#include <string>
#include <vector>

// Just enough of a terminal to replay the live progress output: printable
// characters wrap at the width (xterm's way: the cursor waits in the last
// column until the next character), CR, LF (as CR LF, as the terminal
// driver passes it on), and the CSI sequences A (up),
// B (down), K (erase to end of line) and J (erase to end of screen). It
// counts the wraps, so a test can tell a line that was too long. The width
// may change between writes, as a window being resized.
class CVirtualTerminal {
public:
    explicit CVirtualTerminal(size_t width) : m_width(width) {}

    void Resize(size_t width) { m_width = width; }

    void Write(const std::string& text)
    {
        for (size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
                size_t j = i + 2;
                size_t n = 0;
                bool hasNumber = false;
                while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
                    n = n * 10 + static_cast<size_t>(text[j] - '0');
                    hasNumber = true;
                    ++j;
                }
                if (!hasNumber)
                    n = 1;
                Control(j < text.size() ? text[j] : '?', n);
                i = j;
            } else if (c == '\r') {
                m_col = 0;
                m_pendingWrap = false;
            } else if (c == '\n') {
                // The terminal driver turns a line feed into CR LF (onlcr).
                ++m_row;
                m_col = 0;
                m_pendingWrap = false;
            } else {
                Put(c);
            }
        }
    }

    // The screen's rows, trailing blanks removed, empty rows at the end dropped.
    std::vector<std::string> Rows() const
    {
        std::vector<std::string> rows = m_rows;
        for (std::string& row : rows) {
            while (!row.empty() && row.back() == ' ')
                row.pop_back();
        }
        while (!rows.empty() && rows.back().empty())
            rows.pop_back();
        return rows;
    }
    int Wraps() const { return m_nWraps; }

private:
    void Control(char command, size_t n)
    {
        m_pendingWrap = false;
        switch (command) {
        case 'A':
            m_row = n > m_row ? 0 : m_row - n;
            break;
        case 'B':
            m_row += n;
            break;
        case 'K':
            Row().resize(std::min(Row().size(), m_col));
            break;
        case 'J':
            Row().resize(std::min(Row().size(), m_col));
            if (m_rows.size() > m_row + 1)
                m_rows.resize(m_row + 1);
            break;
        default:
            break;
        }
    }
    void Put(char c)
    {
        if (m_pendingWrap) {
            ++m_nWraps;
            ++m_row;
            m_col = 0;
            m_pendingWrap = false;
        }
        std::string& row = Row();
        if (row.size() <= m_col)
            row.resize(m_col + 1, ' ');
        row[m_col] = c;
        if (m_col + 1 >= m_width)
            m_pendingWrap = true;
        else
            ++m_col;
    }
    std::string& Row()
    {
        if (m_rows.size() <= m_row)
            m_rows.resize(m_row + 1);
        return m_rows[m_row];
    }

    size_t m_width;
    size_t m_row = 0;
    size_t m_col = 0;
    bool m_pendingWrap = false;
    int m_nWraps = 0;
    std::vector<std::string> m_rows;
};
