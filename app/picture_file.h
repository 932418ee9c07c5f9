// Loading the picture of a file by its name's own bytes, from regular files only.
#pragma once

#include "imaging/picture.h"

#include <QString>

#include <functional>
#include <future>

namespace kelvo {

// Loads the picture of `path` (a name as DecodeFileName gives it). A pipe, a device, a
// socket or a folder is refused with imaging::EImageError(Unreadable) without waiting on
// it: the file is opened without blocking and asked what it is, and the loader then
// reads that open file, so no rename between the two can give it something else.
imaging::TPicture LoadPictureFile(const QString& path);
// The same on a worker thread; `first`, when given, runs on the worker before anything
// else (see imaging::LoadPictureAsync).
std::future<imaging::TPicture> LoadPictureFileAsync(const QString& path, std::function<void()> first = {});

} // namespace kelvo
