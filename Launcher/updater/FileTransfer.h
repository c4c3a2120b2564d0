// One file on its way from the patch server into the game folder: streamed
// into a staging file beside its target, hashed on the way, flushed, and
// moved over the target only once verified.
#pragma once

#include <string>

#include "updater/UpdateTypes.h"

// Replaces targetPath by the verified and flushed staging file; every fetched
// file goes through here.
UpdateFailure commitStagedFile(const std::wstring& stagingPath, const std::wstring& targetPath);
