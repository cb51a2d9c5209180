#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

#include "base/file_system.h"
#include "base/native_file.h"
#include "base/path.h"
#include "base/system_path_win32.h"
#include "base/wide_text_win32.h"
#include "support/settings.h"
#include "support/trust_folder.h"
#include "support/trust_folder_win32.h"

namespace zefo {

namespace {

// Rights that only read or look; any other right changes the folder or what is in it.
constexpr ACCESS_MASK kReading = FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | GENERIC_READ | GENERIC_EXECUTE;

// Administrators and the system may do everything, users may read (so that runs
// that are not elevated see the versions elevated runs accepted). Nothing is
// inherited from ProgramData, which lets every user create folders and files and
// gives their creator full control of them.
constexpr wchar_t kDescriptor[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// Memory the security functions hand out with LocalAlloc.
class LocalMemory {
  public:
    explicit LocalMemory(void* memory) : memory_(memory) {}
    ~LocalMemory() {
        if (memory_)
            LocalFree(memory_);
    }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;

  private:
    void* memory_;
};

// The process's token for queries; null when it cannot be opened.
NativeFile ProcessToken() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return NativeFile();
    return NativeFile(reinterpret_cast<intptr_t>(token));
}

// Whether the process runs with an administrator's full rights. When that cannot be
// told it counts as elevated: the protected folder is then used or nothing is kept,
// never the user's folder.
bool RunsElevated() {
    NativeFile token = ProcessToken();
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!token.valid() || !GetTokenInformation(reinterpret_cast<HANDLE>(token.get()), TokenElevation, &elevation,
                                               sizeof elevation, &size))
        return true;
    return elevation.TokenIsElevated != 0;
}

// Wine keeps no security descriptors: it reports the owner and the access list from
// the Unix owner and mode of a folder, a folder of the Unix user running Wine as
// owned by the token's user, with full rights for that user. Every Wine process runs
// as that one Unix user, elevated or not, so there that user counts as an
// administrator; a folder of another Unix user, or one that others may write, is
// still refused.
bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The token user's SID as bytes; empty when it cannot be read.
std::vector<unsigned char> UserSid() {
    NativeFile token = ProcessToken();
    DWORD size = 0;
    if (!token.valid())
        return {};
    GetTokenInformation(reinterpret_cast<HANDLE>(token.get()), TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    if (size == 0 || !GetTokenInformation(reinterpret_cast<HANDLE>(token.get()), TokenUser, buffer.data(), size, &size))
        return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const DWORD length = GetLengthSid(sid);
    const auto* bytes = static_cast<const unsigned char*>(sid);
    return std::vector<unsigned char>(bytes, bytes + length);
}

bool Trusted(PSID sid, PSID self) {
    return IsValidSid(sid) && (IsWellKnownSid(sid, WinLocalSystemSid) ||
                               IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || (self && EqualSid(sid, self)));
}

// ProgramData as the machine's registry names it. Not from the environment, nor
// expanded with it: the user's own variables reach an elevated program too.
std::string ProgramDataFolder() {
    wchar_t value[MAX_PATH];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList",
                     L"ProgramData", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return {};
    std::wstring folder = value;
    // Windows writes "%SystemDrive%\ProgramData": the drive is the system folder's.
    const std::wstring drive = L"%SystemDrive%";
    if (folder.size() >= drive.size() &&
        CompareStringOrdinal(folder.data(), static_cast<int>(drive.size()), drive.data(),
                             static_cast<int>(drive.size()), TRUE) == CSTR_EQUAL) {
        wchar_t windows[MAX_PATH];
        const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
        if (length < 2 || length >= MAX_PATH || windows[1] != L':')
            return {};
        folder = std::wstring(windows, 2) + folder.substr(drive.size());
    }
    if (folder.find(L'%') != std::wstring::npos || folder.size() < 3 || folder[1] != L':')
        return {};
    return Narrow(folder);
}

}  // namespace

bool OnlyAdministratorsChange(PSECURITY_DESCRIPTOR descriptor, PSID self) {
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    // The owner may always rewrite the access list.
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner || !Trusted(owner, self))
        return false;
    BOOL present = FALSE;
    PACL list = nullptr;
    // No access list at all lets everyone do everything.
    if (!GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || !list)
        return false;
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(list, &size, sizeof size, AclSizeInformation))
        return false;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        void* entry = nullptr;
        if (!GetAce(list, index, &entry))
            return false;
        const BYTE type = static_cast<ACE_HEADER*>(entry)->AceType;
        if (type == ACCESS_DENIED_ACE_TYPE)
            continue;  // takes rights away only
        // Object and conditional entries are not read here, so they are not trusted.
        if (type != ACCESS_ALLOWED_ACE_TYPE)
            return false;
        // Entries inherited by what is made inside count too: they would hold there.
        const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        PSID sid = const_cast<DWORD*>(&allowed->SidStart);
        if ((allowed->Mask & ~kReading) != 0 && !Trusted(sid, self))
            return false;
    }
    return true;
}

std::string ProtectedFolderIn(const std::string& base, bool create) {
    std::string folder = base;
    while (!folder.empty() && IsPathSeparator(folder.back()))
        folder.pop_back();
    if (folder.empty())
        return {};
    folder += "\\Zefo";
    std::optional<std::wstring> name = SystemPath(folder);
    if (!name || name->empty())
        return {};
    if (create) {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kDescriptor, SDDL_REVISION_1, &descriptor, nullptr)) {
            LocalMemory owned(descriptor);
            SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
            // Fails when something is there already, which is then checked like any other.
            CreateDirectoryW(name->c_str(), &attributes);
        }
    }
    // The folder itself, not what a link or junction in its place leads to: seen by
    // its name (Wine opens what a Unix link leads to) and by the open handle.
    const DWORD attributes = GetFileAttributesW(name->c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    NativeFile handle(reinterpret_cast<intptr_t>(CreateFileW(
        name->c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr)));
    BY_HANDLE_FILE_INFORMATION information{};
    if (!handle.valid() || !GetFileInformationByHandle(reinterpret_cast<HANDLE>(handle.get()), &information) ||
        !(information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return {};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(reinterpret_cast<HANDLE>(handle.get()), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
        return {};
    LocalMemory owned(descriptor);
    std::vector<unsigned char> self = UnderWine() ? UserSid() : std::vector<unsigned char>();
    if (!OnlyAdministratorsChange(descriptor, self.empty() ? nullptr : self.data()))
        return {};
    return folder + "\\";
}

std::string TrustFolder() {
    if (RunsElevated()) {
        const std::string programData = ProgramDataFolder();
        return programData.empty() ? std::string() : ProtectedFolderIn(programData, true);
    }
    const std::string folder = ProductFolder();
    if (!folder.empty() && QueryFileSize(folder) != -2)
        EnsureDirectory(folder);
    return QueryFileSize(folder) == -2 ? folder : std::string();
}

std::string ElevatedTrustFolder() {
    const std::string programData = ProgramDataFolder();
    return programData.empty() ? std::string() : ProtectedFolderIn(programData, false);
}

}  // namespace zefo
