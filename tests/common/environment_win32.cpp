#include <windows.h>

#include <string>

#include "base/wide_text_win32.h"
#include "common/environment.h"

namespace zefo::test {

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableW(Widen(name).c_str(), Widen(value).c_str());
}

namespace {

// Wine maps Windows paths to its host's; links made there show as reparse points.
std::string UnixName(const std::string& path) {
    using Convert = char* (*)(const wchar_t*);
    auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert)
        return {};
    char* name = convert(Widen(path).c_str());
    if (!name)
        return {};
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

}  // namespace

bool MakeSymbolicLink(const std::string& target, const std::string& link) {
    std::string bare = link;
    while (bare.size() > 1 && (bare.back() == '\\' || bare.back() == '/'))
        bare.pop_back();
    std::string from = UnixName(target), to = UnixName(bare);
    // Wine shows a host link to a file as the file itself and deletes what it points
    // to when asked to delete it; only links to folders (shown as reparse points,
    // like junctions) stand for what a user can plant on Windows.
    if (!from.empty() && !(GetFileAttributesW(Widen(target).c_str()) & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (from.empty() || to.empty()) {
        DWORD flags = (GetFileAttributesW(Widen(target).c_str()) & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
        return CreateSymbolicLinkW(Widen(bare).c_str(), Widen(target).c_str(), flags | 2) != 0;
    }
    // Under Wine the host's own ln makes the link.
    std::wstring command = Widen("ln -s \"" + from + "\" \"" + to + "\"");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\ln", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a host process may count as ended before the process has run.
    for (int wait = 0; wait < 1000; ++wait) {
        if (GetFileAttributesW(Widen(bare).c_str()) != INVALID_FILE_ATTRIBUTES)
            return true;
        Sleep(10);
    }
    return false;
}

// cmd.exe has both commands.
void UseSwapCommands(const std::string&) {}

}  // namespace zefo::test
