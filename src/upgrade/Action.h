// Pre-upgrade actions: steps the manifest asks for before the product is touched, each undoable.
#pragma once

#include "diag/Logger.h"
#include "upgrade/EngineLayout.h"

#include <memory>
#include <string>
#include <vector>

namespace ZEPMaintenance {

// What an action works with while it runs or is undone: the engine's folders, and the files the host
// update deletes after the actions, from which an action takes the file it has deleted itself.
struct ActionContext {
    const EngineLayout& layout;
    std::vector<std::wstring>& deleteList;
};

class Action {
public:
    // Virtual operations in their fixed slot order.
    virtual void Reset() = 0;
    virtual std::unique_ptr<Action> Clone() const = 0;
    virtual void RunAction() = 0;
    virtual void RollbackAction() = 0;
    // The manifest owns its actions and destroys them through this base.
    virtual ~Action();

    // The engine binds its context right before running or rolling back the action.
    void SetContext(ActionContext* context) { _contextPtr = context; }
    ActionContext* GetContext() const { return _contextPtr; }

protected:
    Action() = default;
    Action(const Action&) = default;
    Action& operator=(const Action&) = default;

    ActionContext* _contextPtr = nullptr;
};

// What RunAction makes of a DeleteFile path before it looks at the product folder: an empty path (100), one
// that does not name something inside the product folder (103) and one that ends in a separator, which
// names a folder rather than a file (103). The host update reports each of them as 152.
enum class DeleteFilePath { Deletable, Empty, Outside, NamesNoFile };
DeleteFilePath CheckDeleteFilePath(const std::wstring& filePath);

// Deletes one file of the product folder after saving a protected copy among the saved copies.
class DeleteFileAction : public Action {
public:
    // The path relative to the product folder, exactly as the manifest writes it.
    explicit DeleteFileAction(const std::wstring& filePath);

    void Reset() override;
    std::unique_ptr<Action> Clone() const override;
    void RunAction() override;
    void RollbackAction() override;

    const std::wstring& GetFilePath() const { return _filePath; }

private:
    Logger logger{L"DeleteFileAction"};
    std::wstring _filePath;
};

} // namespace ZEPMaintenance
