// The controller: option checks with their lines and codes, the environment and the run's names.
#include "app/Maintenance.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/EngineSupport.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "system/Text.h"
#include "system/WinRegistryKey.h"

#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;

const std::wstring kSeparator(1, platform::kPathSeparator);

using test::CodeOf;

int32_t Parse(Maintenance& controller, const wchar_t* commandLine) {
    ArgumentMap map;
    SplitCommandLine(commandLine, map);
    return CodeOf([&] { controller.ParseArguments(map); });
}

// The codes and error lines of every option check are the notifier's table in the integration tests;
// here, what a check leaves in the controller's fields.
TEST(ParseArgumentsTest, TheFieldsEachCheckSets) {
    const std::wstring program = kSeparator + L"opt" + kSeparator + L"Program Files" + kSeparator + L"A";
    const std::wstring data = kSeparator + L"data";
    const std::wstring self = std::to_wstring(platform::CurrentProcessId());
    const struct {
        RunMode mode;
        std::wstring commandLine;
        int32_t code;
        std::function<void(const Maintenance&)> check;
    } cases[] = {
        {RunMode::Loader,
         L"-op update -pp \"" + program + L"\" -dp " + data + L" -imdp " + data + kSeparator + L"im" +
             kSeparator,
         0,
         [&](const Maintenance& c) {
             EXPECT_EQ(c.op, Operation::Update);
             EXPECT_EQ(c.layout.ProductFolder(), program + kSeparator);
             EXPECT_EQ(c.layout.Product().GetDirname(), L"A");
             EXPECT_EQ(c.layout.DataFolder(), data + kSeparator);
             EXPECT_EQ(c.imDataDirectory.GetDirname(), L"im");
             EXPECT_FALSE(c.loaderProcess.IsOpen());
         }},
        // Fields set before the error stay set.
        {RunMode::Loader, L"-op rollback -lang 2 -pp P", 137,
         [](const Maintenance& c) {
             EXPECT_EQ(c.op, Operation::Rollback);
             EXPECT_EQ(c.lang, 2);
         }},
        {RunMode::Loader, L"-op install", 0,
         [](const Maintenance& c) { EXPECT_EQ(c.layout.Product().GetDirname(), L""); }},
        {RunMode::Loader, L"-op rollback -pp P -dp D -lpid " + self, 0,
         [](const Maintenance& c) {
             EXPECT_TRUE(c.loaderProcess.IsOpen());
             EXPECT_EQ(c.loaderProcess.GetProcessId(), platform::CurrentProcessId());
         }},
        // Parsing ended before -pp was stored.
        {RunMode::Loader, L"-op update -pp P -dp D -lpid x", 137,
         [](const Maintenance& c) { EXPECT_EQ(c.layout.Product().GetDirname(), L""); }},
        {RunMode::Loader, L"-op refreshZEPPKIServiceRegistryKeys -lpid x", 0,
         [](const Maintenance& c) { EXPECT_FALSE(c.loaderProcess.IsOpen()); }},
        {RunMode::Loader, L"-op update -pp P -dp D -hpid x", 0,
         [](const Maintenance& c) { EXPECT_EQ(c.hostProcessId, 0); }},
        {RunMode::Worker, L"-op update -pp P -dp D -hpid 4711", 0,
         [](const Maintenance& c) { EXPECT_EQ(c.hostProcessId, 4711); }},
        {RunMode::Worker, L"-op rollback -pp P -dp D -hpid x", 0, [](const Maintenance&) {}},
        {RunMode::Loader, L"-op msiupdate -msi a.msi", 101,
         [](const Maintenance& c) { EXPECT_EQ(c.msiPath, L"a.msi"); }},
        {RunMode::Loader, L"-op msiupdate -msi a.msi -msimethod i", 101,
         [](const Maintenance& c) { EXPECT_EQ(c.msiMethod, L"i"); }},
        // "/qn" as UTF-16LE in Base64; text that is not Base64 gives no parameters.
        {RunMode::Loader, L"-op msiupdate -msi \"C:\\a b.msi\" -msimethod i -msipar LwBxAG4A -msitimeout 30",
         0,
         [](const Maintenance& c) {
             EXPECT_EQ(c.msiPath, L"C:\\a b.msi");
             EXPECT_EQ(c.msiMethod, L"i");
             EXPECT_EQ(c.msiParameters, L"/qn");
             EXPECT_EQ(c.msiTimeout, 30);
         }},
        {RunMode::Loader, L"-op msiupdate -msi a.msi -msimethod x -msipar !!", 0,
         [](const Maintenance& c) {
             EXPECT_EQ(c.msiParameters, L"");
             EXPECT_EQ(c.msiTimeout, -1);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(WideToMultiByte(c.commandLine, kUtf8CodePage));
        CapturedLog log;
        Maintenance controller;
        controller.mode = c.mode;
        EXPECT_EQ(Parse(controller, c.commandLine.c_str()), c.code) << log.Dump();
        c.check(controller);
    }
}

TEST(MaintenanceContextTest, FixedEnvironmentsGiveTheirNames) {
    const struct {
        const wchar_t* option;
        EnvironmentKind kind;
        const wchar_t* service;
        const wchar_t* key;
    } cases[] = {
        {L"0", EnvironmentKind::Product, L"Z.EP Maintenance Service2",
         L"software\\ZEP\\Z.EP Maintenance2\\product"},
        {L"1", EnvironmentKind::Test, L"Z.EP Maintenance Service2 (test)",
         L"software\\ZEP\\Z.EP Maintenance2\\test"},
        {L"2", EnvironmentKind::Development, L"Z.EP Maintenance Service2 (development)",
         L"software\\ZEP\\Z.EP Maintenance2\\development"},
        {L"7", static_cast<EnvironmentKind>(7), L"Z.EP Maintenance Service2",
         L"software\\ZEP\\Z.EP Maintenance2\\"},
    };
    for (const auto& c : cases) {
        Maintenance controller;
        EXPECT_EQ(Parse(controller, (std::wstring(L"-op install -env ") + c.option).c_str()), 0);
        EXPECT_EQ(controller.GetEnvironment(), c.kind) << c.option;
        EXPECT_EQ(controller.GetServiceName(), c.service);
        EXPECT_EQ(controller.GetProductRegistryKeyPath(), c.key);
    }
}

TEST(MaintenanceContextTest, InstallPathPlaceholders) {
    Maintenance controller;
    const std::wstring folder = kSeparator + L"opt" + kSeparator + L"{__INSTALL_PATH__}" + kSeparator;
    controller.layout = test::LayoutOf(folder, folder);
    EXPECT_EQ(controller.ReplaceInstallPathPlaceholder(L"{__INSTALL_PATH__}a.exe /x={__INSTALL_PATH__}"),
              folder + L"a.exe /x=" + folder);
    EXPECT_EQ(controller.ReplaceInstallPathPlaceholder(L"no placeholder {__INSTALL_PATH_}"),
              L"no placeholder {__INSTALL_PATH_}");
    EXPECT_EQ(controller.ReplaceInstallPathPlaceholder(L""), L"");
}

// The settings of the environments in the registry, on a scratch machine (Linux) or on the machine
// itself where no product is installed.
class EnvironmentLookupTest : public ::testing::Test {
protected:
    static constexpr const wchar_t* kSettings = L"software\\ZEP\\Z.EP Maintenance2";

    void SetUp() override {
        WinRegistryKey probe;
        if (!test::ScopedMachineRoot::IsScratch() &&
            probe.KeyExists(WinRegistryKey::LocalMachine, kSettings)) {
            GTEST_SKIP() << "the product's settings exist on this machine";
        }
        owned = true;
    }
    void TearDown() override {
        if (!owned) {
            return;
        }
        WinRegistryKey key;
        for (const std::wstring& name : created) {
            key.DeleteKey(WinRegistryKey::LocalMachine, std::wstring(kSettings) + L"\\" + name);
        }
        if (key.KeyExists(WinRegistryKey::LocalMachine, kSettings)) {
            key.DeleteKey(WinRegistryKey::LocalMachine, kSettings);
        }
    }

    void AddEnvironment(const std::wstring& name, const std::wstring* path) {
        WinRegistryKey key;
        key.CreateKey(WinRegistryKey::LocalMachine, std::wstring(kSettings) + L"\\" + name);
        if (path != nullptr) {
            key.SetStringValue(L"path", *path);
        }
        created.push_back(name);
    }

    test::ScopedMachineRoot machine;
    std::vector<std::wstring> created;
    bool owned = false;
};

// Which sub-key names this program; paths compare with letter case, and an entry without a path
// (enumerated first) ends the search as the product.
TEST_F(EnvironmentLookupTest, TheSubKeyWithThisProgramsPathSelectsTheEnvironment) {
    const std::wstring program = GetModuleFilename();
    const std::wstring other = program + L".other";
    std::wstring otherCase = program;
    const std::size_t letter = otherCase.find_last_of(L"abcdefghijklmnopqrstuvwxyz");
    ASSERT_NE(letter, std::wstring::npos);
    otherCase[letter] = static_cast<wchar_t>(otherCase[letter] - L'a' + L'A');
    const struct {
        const char* what;
        std::vector<std::pair<const wchar_t*, const std::wstring*>> entries;
        EnvironmentKind kind;
        const wchar_t* service;
    } cases[] = {
        {"no settings", {}, EnvironmentKind::Product, L"Z.EP Maintenance Service2"},
        {"this program's path",
         {{L"product", &other}, {L"test", &program}},
         EnvironmentKind::Test,
         L"Z.EP Maintenance Service2 (test)"},
        {"another letter case",
         {{L"test", &otherCase}},
         EnvironmentKind::Product,
         L"Z.EP Maintenance Service2"},
        {"an unreadable entry first",
         {{L"alpha", nullptr}, {L"development", &program}},
         EnvironmentKind::Product,
         L"Z.EP Maintenance Service2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        created.clear();
        for (const auto& [name, path] : c.entries) {
            AddEnvironment(name, path);
        }
        Maintenance controller;
        EXPECT_EQ(controller.GetEnvironment(), c.kind);
        EXPECT_TRUE(controller.environmentSet);
        EXPECT_EQ(controller.GetServiceName(), c.service);
    }
    TearDown();
    created.clear();
    AddEnvironment(L"test", &program);
    Maintenance controller;
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Test);
    EXPECT_EQ(controller.GetProductRegistryKeyPath(), L"software\\ZEP\\Z.EP Maintenance2\\test");
    // Decided once: later changes of the settings do not reach this controller.
    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, std::wstring(kSettings) + L"\\test", true);
    key.SetStringValue(L"path", other);
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Test);
    Maintenance fresh;
    EXPECT_EQ(fresh.GetEnvironment(), EnvironmentKind::Product);
}

} // namespace
} // namespace ZEPMaintenance
