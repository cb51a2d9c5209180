// The protected folder of elevated runs: which access lists count as protected, and
// real folders that others made or may change (under Wine, which reports a folder's
// Unix owner and mode as its owner and access list).
#include "support/trust_folder_win32.h"

#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/wide_text_win32.h"
#include "common/environment.h"
#include "common/temp_dir.h"
#include "support/settings.h"
#include "support/trust_folder.h"

namespace zefo {
namespace {

// The check on a descriptor written in SDDL; `self` as SDDL too, or empty.
bool Protected(const std::wstring& sddl, const std::wstring& self = {}) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr));
    PSID sid = nullptr;
    if (!self.empty()) {
        EXPECT_TRUE(ConvertStringSidToSidW(self.c_str(), &sid));
    }
    const bool result = descriptor && OnlyAdministratorsChange(descriptor, sid);
    LocalFree(sid);
    LocalFree(descriptor);
    return result;
}

TEST(TrustFolderTest, OnlyAFolderAdministratorsOwnAndNoOneElseMayChangeIsProtected) {
    const std::wstring user = L"S-1-5-21-1-2-3-1001";
    // As the program makes it; the system owning it and everyone reading do no harm.
    EXPECT_TRUE(Protected(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"));
    EXPECT_TRUE(Protected(L"O:SYD:(A;;FA;;;BA)(A;;FR;;;WD)(D;;FA;;;WD)"));
    // An owner may always rewrite the list: a user's folder is never protected.
    EXPECT_FALSE(Protected(L"O:" + user + L"D:P(A;OICI;FA;;;BA)"));
    EXPECT_FALSE(Protected(L"O:BUD:P(A;OICI;FA;;;BA)"));
    // What ProgramData hands down to a folder made in it: users may add, creators own.
    EXPECT_FALSE(Protected(L"O:BAD:(A;OICI;FA;;;BA)(A;CI;0x116;;;BU)"));
    EXPECT_FALSE(Protected(L"O:BAD:(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)"));
    EXPECT_FALSE(Protected(L"O:BAD:(A;;GW;;;WD)"));
    EXPECT_FALSE(Protected(L"O:BAD:(A;;WD;;;AU)"));
    EXPECT_FALSE(Protected(L"O:BA"));  // no access list: everyone may do everything
    // The user counts only where named (Wine, where every process is that user).
    EXPECT_TRUE(Protected(L"O:" + user + L"D:(A;;FA;;;" + user + L")", user));
    EXPECT_FALSE(Protected(L"O:" + user + L"D:(A;;FA;;;" + user + L")"));
}

TEST(TrustFolderTest, AnElevatedRunKeepsItsTrustStateInProgramData) {
    // Every process under Wine reports itself elevated, as the program's manifest asks.
    const char* programData = std::getenv("ProgramData");
    ASSERT_NE(programData, nullptr);
    test::TempDir appData;
    test::SetEnvironment("APPDATA", appData.path());
    const std::string folder = std::string(programData) + "\\Zefo\\";
    EXPECT_EQ(TrustFolder(), folder);
    EXPECT_EQ(ElevatedTrustFolder(), folder);
    const std::vector<std::string> files = ListVersionsFiles();
    ASSERT_FALSE(files.empty());
    EXPECT_EQ(files.front(), folder + "lists.ini");
}

TEST(TrustFolderTest, AFolderSomeoneElseMadeOrMayChangeIsNotUsed) {
    test::TempDir base;
    EXPECT_EQ(ProtectedFolderIn(base.path(), false), "");
    const std::string made = ProtectedFolderIn(base.path(), true);
    EXPECT_EQ(made, base.path() + "Zefo\\");
    EXPECT_EQ(ProtectedFolderIn(base.path(), false), made);

    // Opened to everyone after it was made.
    PSECURITY_DESCRIPTOR open = nullptr;
    ASSERT_TRUE(
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;OICI;FA;;;WD)", SDDL_REVISION_1, &open, nullptr));
    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(open, &present, &list, &defaulted));
    ASSERT_EQ(SetNamedSecurityInfoW(Widen(made).data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                    list, nullptr),
              ERROR_SUCCESS);
    LocalFree(open);
    EXPECT_EQ(ProtectedFolderIn(base.path(), true), "");

    // A link in its place, to a folder of the user's.
    test::TempDir linked, elsewhere;
    if (test::MakeSymbolicLink(elsewhere.path(), linked.path() + "Zefo")) {
        EXPECT_EQ(ProtectedFolderIn(linked.path(), true), "");
    }
    // A file in its place.
    test::TempDir filed;
    test::WriteFileBytes(filed.path() + "Zefo", "");
    EXPECT_EQ(ProtectedFolderIn(filed.path(), true), "");
}

}  // namespace
}  // namespace zefo
