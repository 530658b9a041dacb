// The page a browser gets at /: serve/page.html, built into the program as it
// is, so nothing is read from disk.
#pragma once

#include <string_view>

namespace karvolen::serve {

inline constexpr std::string_view kPage =
#include "page_html.inc"
    ;

}  // namespace karvolen::serve
