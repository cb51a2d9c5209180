#include <windows.h>
// aclapi.h needs windows.h before it.
#include <aclapi.h>

#include <functional>
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

// Runs `command` with the host's program `program` (under Wine) and waits up to ten
// seconds until `done` says it had its effect.
bool RunOnHost(const wchar_t* program, const std::string& command, const std::function<bool()>& done) {
    std::wstring line = Widen(command);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a host process may count as ended before the process has run.
    for (int wait = 0; wait < 1000; ++wait) {
        if (done())
            return true;
        Sleep(10);
    }
    return false;
}

}  // namespace

std::string HostFolder(const std::string& path) {
    return path.empty() || path[0] != '/' ? std::string() : "Z:" + path + "/";
}

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
    return RunOnHost(L"Z:\\bin\\ln", "ln -s \"" + from + "\" \"" + to + "\"",
                     [&] { return GetFileAttributesW(Widen(bare).c_str()) != INVALID_FILE_ATTRIBUTES; });
}

bool MakeHardLink(const std::string& target, const std::string& link) {
    std::string from = UnixName(target), to = UnixName(link);
    if (from.empty() || to.empty())
        return CreateHardLinkW(Widen(link).c_str(), Widen(target).c_str(), nullptr) != 0;
    return RunOnHost(L"Z:\\bin\\ln", "ln \"" + from + "\" \"" + to + "\"",
                     [&] { return GetFileAttributesW(Widen(link).c_str()) != INVALID_FILE_ATTRIBUTES; });
}

bool GiveToAnotherUser(const std::string& path) {
    const std::string name = UnixName(path);
    if (name.empty())
        return false;
    PSID before = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(Widen(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &before, nullptr,
                              nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    // Done once Wine shows another owner than before.
    auto changed = [&] {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR now = nullptr;
        if (GetNamedSecurityInfoW(Widen(path).c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                                  nullptr, nullptr, &now) != ERROR_SUCCESS)
            return false;
        const bool other = !EqualSid(owner, before);
        LocalFree(now);
        return other;
    };
    const bool given = RunOnHost(L"Z:\\bin\\chown", "chown 4242:4242 \"" + name + "\"", changed);
    LocalFree(descriptor);
    return given;
}

// cmd.exe has both commands.
void UseSwapCommands(const std::string&) {}

}  // namespace zefo::test
