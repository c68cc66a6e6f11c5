// The page's files, compiled into the program (a factory floor often has no
// network to fetch them from): the page, its style, its script and the chart
// library. Generated from ctl/serve/page/ and Debian's Chart.js at build time.
#pragma once

#include <string_view>

namespace qx17::ctl {

struct PageFile {
    std::string_view path;  // "/", "/page.js" ...
    std::string_view content_type;
    std::string_view body;
};

// The file served at `path`; null for any other path.
const PageFile* FindPageFile(std::string_view path);

}  // namespace qx17::ctl
