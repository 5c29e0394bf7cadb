// basMkdir: a new folder below the storage folder, its name asked for and
// checked rule by rule, one message a rule.
#pragma once

#include <optional>
#include <string>

namespace basMkdir {

// What folder creation asks of the user.
class FolderPrompts {
public:
    virtual ~FolderPrompts() = default;
    // askText: an input box; nullopt or empty when cancelled.
    virtual std::optional<std::string> askText(const std::string& prompt, const std::string& title) = 0;
    // message: an OK-only box.
    virtual void message(const std::string& text) = 0;
};

// IsValidFolderName: false (after the message of the first rule that fails)
// for an empty name, a "\" before the end, "*", "?", or "." at either end.
bool IsValidFolderName(const std::string& name, FolderPrompts& prompts);

// AskFolderName: the name typed for a folder in `dir`, when it passes the
// rules; empty otherwise.
std::string AskFolderName(const std::string& dir, FolderPrompts& prompts);

// CreateFolder: asks for a name, makes the folder in `dir` (a dialect path)
// and returns its full path; empty (after its message) when nothing was made.
// The current folder is the same afterwards.
std::string CreateFolder(const std::string& dir, FolderPrompts& prompts);

} // namespace basMkdir
