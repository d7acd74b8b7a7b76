#include "tests/progress_model.h"

// A position outside a new range is pulled to the nearer end, as the native
// bar does.
void ProgressModel::SetRange(uint16_t minimum, uint16_t maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
    SetPos(m_position);
}

void ProgressModel::SetPos(int position)
{
    if (position < m_minimum)
        position = m_minimum;
    if (position > m_maximum)
        position = m_maximum;
    m_position = position;
}

void ProgressModel::SetStep(int step)
{
    m_step = step;
}

// Stepping past either end starts the bar over from the other one.
void ProgressModel::StepIt()
{
    const long long next = static_cast<long long>(m_position) + m_step;
    if (next > m_maximum)
        m_position = m_minimum;
    else if (next < m_minimum)
        m_position = m_maximum;
    else
        m_position = static_cast<int>(next);
}
