// basMkdir: a new folder below the storage folder.
#include "basmkdir.h"

#include "platform/platform.h"
#include "text/catalogue.h"

namespace basMkdir {

namespace {

std::string series(std::int16_t id)
{
    return std::string(resVelt::ResText(id));
}

std::string withoutSpaces(const std::string& text)
{
    const size_t begin = text.find_first_not_of(' ');
    if (begin == std::string::npos)
        return {};
    return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

} // namespace

bool IsValidFolderName(const std::string& name, FolderPrompts& prompts)
{
    if (name.empty()) {
        prompts.message(series(106));
        return false;
    }
    const size_t backslash = name.find('\\');
    if (backslash != std::string::npos && backslash + 1 != name.size()) {
        prompts.message(series(101));
        return false;
    }
    if (name.find('*') != std::string::npos) {
        prompts.message(series(102));
        return false;
    }
    if (name.find('?') != std::string::npos) {
        prompts.message(series(103));
        return false;
    }
    if (name.front() == '.' || name.back() == '.') {
        prompts.message(series(108));
        return false;
    }
    return true;
}

std::string AskFolderName(const std::string& dir, FolderPrompts& prompts)
{
    const std::optional<std::string> reply = prompts.askText(series(100) + "\r" + dir, series(110));
    if (!reply || reply->empty())
        return {};
    return IsValidFolderName(*reply, prompts) ? *reply : std::string();
}

std::string CreateFolder(const std::string& dir, FolderPrompts& prompts)
{
    std::string name = withoutSpaces(AskFolderName(dir, prompts));
    if (name.empty())
        return {};
    const std::string remembered = platform::currentFolder();
    if (name.back() == '\\')
        name.pop_back();
    const std::string path = (!dir.empty() && dir.back() == '\\') ? dir + name : dir + "\\" + name;
    std::string result;
    const platform::Result<void> made =
        name.empty() ? platform::Result<void>(platform::Error{EINVAL, path + ": no folder name"}) : platform::makeFolder(path);
    if (!made) {
        // The reason names the folder and the cause (a read-only drive, no permission, a name taken).
        prompts.message(series(104) + "\n" + made.error().message);
    } else if (!platform::changeFolder(path)) {
        prompts.message(series(105));
    } else {
        result = path;
    }
    if (!platform::changeFolder(remembered)) {
        prompts.message(series(105));
        result.clear();
    }
    return result;
}

} // namespace basMkdir
