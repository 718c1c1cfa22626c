// Where the engine reports its progress: the worker sends it on the GUI pipe, tests record it.
#pragma once

#include "ipc/GuiProtocol.h"

#include <string>

namespace ZEPMaintenance {

class Progress {
public:
    virtual ~Progress() = default;

    // The status line shows the text in the run's language.
    virtual void ShowText(GuiText text) = 0;
    // One message of the GUI protocol with its text (a path for OpenDocument, empty for the others).
    virtual void Send(GuiMessageId id, const std::wstring& text) = 0;
};

} // namespace ZEPMaintenance
