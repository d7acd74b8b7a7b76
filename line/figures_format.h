#pragma once
#include <string>

#include "line/line_figures.h"

// The figures of a range as the page's data and `line report --json` give
// them: one JSON object on one line, the same bytes from both.
std::string FiguresJson(const LineFigures& figures);
// One CSV table of the same figures, a row per line total, station,
// station and hour, and failure reason (the column kind says which).
std::string FiguresCsv(const LineFigures& figures);
// For a terminal: texts from the records with their control characters
// shown as '?'.
std::string FiguresText(const LineFigures& figures);
