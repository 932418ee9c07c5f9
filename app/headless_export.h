// Measuring without a window: `kelvo --export FORMAT OUT FILE` applies the saved shapes to a picture, or to the images of a folder or DICOMDIR, and writes the result.
#pragma once

#include "app/command_line.h"

namespace kelvo {

// Exit statuses of an export; a usage mistake is CommandLine::kUsageError.
constexpr int kExportFailed = 1;

// Runs the export `line` asks for on Qt's offscreen platform (no display is needed or
// used): the window is made but never shown, the picture opened, the shapes loaded and
// the output written as the window's own export buttons write it. A folder or DICOMDIR
// gives the images of its study that carry shapes of its annotation file (DIR.kelvo.json
// beside the folder, or --annotations), each by the image its shapes name: one CSV with
// their rows one after another, one report or presentation state for them all, or one
// PNG each, OUT "out.png" making "out-1.png", "out-2.png"… in the CSV's order. Returns 0, or prints
// one line saying what went wrong to standard error and returns kExportFailed.
int RunExport(int& argc, char** argv, const CommandLine& line);

} // namespace kelvo
