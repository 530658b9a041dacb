// The page a browser gets at /: built into the program, nothing from disk.
#pragma once

#include <string_view>

namespace karvolen::serve {

inline constexpr std::string_view kPage = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Karvolen</title>
</head>
<body>
<p>The live picture is at <a href="/snapshot.png">/snapshot.png</a>; its state at <a href="/status">/status</a>.</p>
</body>
</html>
)";

}  // namespace karvolen::serve
