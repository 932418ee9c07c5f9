// The window's way into the PACS: its button, the opening of retrieved files, and the opening of a study link.
#pragma once

#include "app/pacs_link.h"

#include <QStringList>

#include <functional>

namespace kelvo {

class TForm1;

// Shows files retrieved from a PACS in `window` as a study: its series in the browser,
// the first one's slices to step through. They open through a folder of links beside
// them, the same for the same files, so shapes drawn on them come back the next time.
bool OpenRetrieved(TForm1& window, const QStringList& files);

// Adds the "PACS…" button to the window's button row, opening the search dialog.
void AddPacsButton(TForm1& window);

// Retrieves the study of `link` into the instance cache with a progress window that
// can cancel, then opens it; a failure is told through `showError` (empty: a message box).
void OpenPacsLink(TForm1& window, const TPacsLink& link, std::function<void(const QString&)> showError = {});

} // namespace kelvo
