#pragma once
#include <cstddef>

// The page's own files (line/page/), built into the program: the page
// needs no network and no file beside the program.
struct PageAsset {
    const char* path;  // "/", "/page.js", ...
    const char* type;  // its Content-Type
    const char* body;
};
extern const PageAsset kPageAssets[];
extern const size_t kPageAssetCount;
