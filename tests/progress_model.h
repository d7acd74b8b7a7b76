#pragma once
#include <cstdint>

// The native progress bar's arithmetic, so a test window shows the position
// the desktop window would: a range, a position clamped into it, a step, and
// StepIt starting again from the minimum once it passes the maximum.
class ProgressModel {
public:
    void SetRange(uint16_t minimum, uint16_t maximum);
    void SetPos(int position);
    void SetStep(int step);
    void StepIt();

    int Minimum() const { return m_minimum; }
    int Maximum() const { return m_maximum; }
    int Position() const { return m_position; }
    int Step() const { return m_step; }

private:
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
    int m_step = 10;
};
