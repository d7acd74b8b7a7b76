#pragma once
#include <string>

// Checks the resources compiled into the exe against what the program is
// meant to carry: string table, menu, accelerators, icon, both dialog
// templates, version record, manifest, all in language 0x0404.
void CheckResources(const std::string& strExe);
