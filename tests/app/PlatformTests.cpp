#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "app/Instance.h"

// Windows' own parser reads the manifest of Launcher.exe (in the tests'
// working folder): no elevation, Windows 7 to 11.
TEST(ApplicationManifestTest, ParsesAsAsInvokerForWindows7To11) {
    wchar_t path[MAX_PATH] = {};
    GetFullPathNameW(L"Launcher.exe", MAX_PATH, path, nullptr);
    ACTCTXW request{};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path;
    request.lpResourceName = MAKEINTRESOURCEW(1);
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "no RT_MANIFEST 1, or it does not parse";

    ACTIVATION_CONTEXT_RUN_LEVEL_INFORMATION level{};
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, RunlevelInformationInActivationContext, &level,
                             sizeof level, nullptr));
    EXPECT_EQ(level.RunLevel, ACTCTX_RUN_LEVEL_AS_INVOKER);

    // Windows 7, 8, 8.1, and 10 and 11 (one id).
    std::vector<DWORD> info(1024);
    ASSERT_TRUE(QueryActCtxW(0, context, nullptr, CompatibilityInformationInActivationContext,
                             info.data(), info.size() * sizeof(DWORD), nullptr));
    EXPECT_EQ(info[0], 4u);
    ReleaseActCtx(context);
}

TEST(InstanceTest, OneNamePerGameFolderWhateverTheCase) {
    const std::wstring name = instanceName(L"C:\\Program Files (x86)\\Zovra \u00c9t\u00e9");
    EXPECT_EQ(name.size(), 30u);
    EXPECT_EQ(name.rfind(L"ZovraLauncher-", 0), 0u);
    EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef", 14), std::wstring::npos);
    EXPECT_EQ(instanceName(L"c:\\PROGRAM FILES (X86)\\zovra \u00e9T\u00c9"), name);
    for (const wchar_t* other : {L"C:\\Program Files (x86)\\Zovra \u00c9t\u00e92",
                                 L"D:\\Program Files (x86)\\Zovra \u00c9t\u00e9", L""})
        EXPECT_NE(instanceName(other), name);
}

// A launcher running elevated owns the folder's mutex where this one may not
// open it: that folder is taken all the same.
TEST(InstanceTest, AFolderWhoseMutexCannotBeOpenedIsTaken) {
    wchar_t folder[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, folder);
    SECURITY_DESCRIPTOR denyAll{};
    InitializeSecurityDescriptor(&denyAll, SECURITY_DESCRIPTOR_REVISION);
    ACL empty{};
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SetSecurityDescriptorDacl(&denyAll, TRUE, &empty, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &denyAll, FALSE};
    HANDLE owned = CreateMutexW(&attributes, TRUE, instanceName(folder).c_str());
    ASSERT_NE(owned, nullptr);
    EXPECT_FALSE(claimGameFolder());
    CloseHandle(owned);
}
