// Measuring without a window: `kelvo --export FORMAT OUT FILE` applies the saved shapes to a picture and writes the result.
#pragma once

#include "app/command_line.h"

namespace kelvo {

// Exit statuses of an export; a usage mistake is CommandLine::kUsageError.
constexpr int kExportFailed = 1;

// Runs the export `line` asks for on Qt's offscreen platform (no display is needed or
// used): the window is made but never shown, the picture opened, the shapes loaded and
// the output written as the window's own export buttons write it. Returns 0, or prints
// one line saying what went wrong to standard error and returns kExportFailed.
int RunExport(int& argc, char** argv, const CommandLine& line);

} // namespace kelvo
