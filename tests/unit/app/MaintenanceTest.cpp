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
#include <regex>

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

TEST(ParseArgumentsTest, FolderOptionsOfRollbackAndUpdate) {
    CapturedLog log;
    Maintenance controller;
    const std::wstring program = kSeparator + L"opt" + kSeparator + L"Program Files" + kSeparator + L"A";
    const std::wstring data = kSeparator + L"data";
    EXPECT_EQ(Parse(controller, (L"-op update -pp \"" + program + L"\" -dp " + data + L" -imdp " + data +
                                 kSeparator + L"im" + kSeparator)
                                    .c_str()),
              0);
    EXPECT_EQ(controller.op, Operation::Update);
    EXPECT_EQ(controller.layout.ProductFolder(), program + kSeparator);
    EXPECT_EQ(controller.layout.Product().GetDirname(), L"A");
    EXPECT_EQ(controller.layout.DataFolder(), data + kSeparator);
    EXPECT_EQ(controller.imDataDirectory.GetDirname(), L"im");
    EXPECT_FALSE(controller.loaderProcess.IsOpen());

    Maintenance rollback;
    EXPECT_EQ(Parse(rollback, L"-op rollback -lang 2 -pp P"), 137);
    EXPECT_TRUE(log.Has(LevelError, L"ParseArguments: Argument -dp is not set."));
    EXPECT_EQ(rollback.op, Operation::Rollback);
    EXPECT_EQ(rollback.lang, 2); // fields set before the error stay set
    Maintenance noProgram;
    EXPECT_EQ(Parse(noProgram, L"-op update -dp D"), 137);
    EXPECT_TRUE(log.Has(LevelError, L"ParseArguments: Argument -pp is not set."));

    // Other operations need no folders.
    Maintenance install;
    EXPECT_EQ(Parse(install, L"-op install"), 0);
    EXPECT_EQ(install.layout.Product().GetDirname(), L"");
}

TEST(ParseArgumentsTest, TheLoaderProcessIsOpenedById) {
    CapturedLog log;
    const std::wstring self = std::to_wstring(platform::CurrentProcessId());
    Maintenance controller;
    EXPECT_EQ(Parse(controller, (L"-op rollback -pp P -dp D -lpid " + self).c_str()), 0);
    EXPECT_TRUE(controller.loaderProcess.IsOpen());
    EXPECT_EQ(controller.loaderProcess.GetProcessId(), platform::CurrentProcessId());

    Maintenance notANumber;
    EXPECT_EQ(Parse(notANumber, L"-op update -pp P -dp D -lpid x"), 137);
    EXPECT_TRUE(log.Contains(L"ParseArguments: Argument -lpid value error (exCode: 102, exText: "));
    EXPECT_EQ(notANumber.layout.Product().GetDirname(), L""); // parsing ended before -pp was stored

    Maintenance gone;
    EXPECT_EQ(Parse(gone, L"-op update -pp P -dp D -lpid 0"), 137);
    EXPECT_TRUE(log.Contains(L"ParseArguments: Argument -lpid value error (exCode: 156, exText: "));

    // Outside rollback and update the option is passed on, not read.
    Maintenance refresh;
    EXPECT_EQ(Parse(refresh, L"-op refreshZEPPKIServiceRegistryKeys -lpid x"), 0);
    EXPECT_FALSE(refresh.loaderProcess.IsOpen());
}

TEST(ParseArgumentsTest, HostProcessIdIsReadOnlyByTheUpdatingWorker) {
    Maintenance loader;
    EXPECT_EQ(Parse(loader, L"-op update -pp P -dp D -hpid x"), 0);
    EXPECT_EQ(loader.hostProcessId, 0);

    Maintenance worker;
    worker.mode = RunMode::Worker;
    EXPECT_EQ(Parse(worker, L"-op update -pp P -dp D -hpid 4711"), 0);
    EXPECT_EQ(worker.hostProcessId, 4711);
    Maintenance badWorker;
    badWorker.mode = RunMode::Worker;
    EXPECT_EQ(Parse(badWorker, L"-op update -pp P -dp D -hpid x"), 102);
    Maintenance rollbackWorker;
    rollbackWorker.mode = RunMode::Worker;
    EXPECT_EQ(Parse(rollbackWorker, L"-op rollback -pp P -dp D -hpid x"), 0);
}

TEST(ParseArgumentsTest, MsiOptions) {
    CapturedLog log;
    Maintenance noPackage;
    EXPECT_EQ(Parse(noPackage, L"-op msiupdate -msimethod i"), 137);
    EXPECT_TRUE(log.Has(LevelError, L"ParseArguments: Argument -msi is not set."));

    Maintenance noMethod;
    EXPECT_EQ(Parse(noMethod, L"-op msiupdate -msi a.msi"), 101);
    EXPECT_TRUE(log.Has(LevelWarn, L"ParseArguments: Argument -msimethod is not set."));
    EXPECT_TRUE(log.Has(LevelWarn, L"ParseArguments: Argument -msipar is not set."));
    EXPECT_EQ(noMethod.msiPath, L"a.msi");

    log.Clear();
    Maintenance noParameters;
    EXPECT_EQ(Parse(noParameters, L"-op msiupdate -msi a.msi -msimethod i"), 101);
    EXPECT_FALSE(log.Contains(L"-msimethod is not set"));
    EXPECT_TRUE(log.Has(LevelWarn, L"ParseArguments: Argument -msipar is not set."));
    EXPECT_EQ(noParameters.msiMethod, L"i");

    // "/qn" as UTF-16LE in Base64; text that is not Base64 gives no parameters.
    Maintenance complete;
    EXPECT_EQ(
        Parse(complete, L"-op msiupdate -msi \"C:\\a b.msi\" -msimethod i -msipar LwBxAG4A -msitimeout 30"),
        0);
    EXPECT_EQ(complete.msiPath, L"C:\\a b.msi");
    EXPECT_EQ(complete.msiMethod, L"i");
    EXPECT_EQ(complete.msiParameters, L"/qn");
    EXPECT_EQ(complete.msiTimeout, 30);
    Maintenance junk;
    EXPECT_EQ(Parse(junk, L"-op msiupdate -msi a.msi -msimethod x -msipar !!"), 0);
    EXPECT_EQ(junk.msiParameters, L"");
    EXPECT_EQ(junk.msiTimeout, -1);
    Maintenance badTimeout;
    EXPECT_EQ(Parse(badTimeout, L"-op msiupdate -msi a.msi -msimethod x -msipar LwBxAG4A -msitimeout soon"),
              102);
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

TEST(MaintenanceContextTest, GuiPipeNames) {
    Maintenance controller;
    const std::wstring name = controller.GenerateGuiPipeName();
    const std::wregex form(L"ZEPMaintenance_" + std::to_wstring(platform::CurrentProcessId()) + L"_([0-9]+)");
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(name, match, form)) << name;
    EXPECT_LT(std::stoi(match[1].str()), 10000);
    EXPECT_EQ(controller.guiPipeName, L"\\\\.\\pipe\\" + name);
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

TEST_F(EnvironmentLookupTest, WithoutSettingsTheProgramIsTheProduct) {
    Maintenance controller;
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Product);
    EXPECT_TRUE(controller.environmentSet);
    EXPECT_EQ(controller.GetServiceName(), L"Z.EP Maintenance Service2");
}

TEST_F(EnvironmentLookupTest, TheSubKeyWithThisProgramsPathSelectsTheEnvironment) {
    const std::wstring program = GetModuleFilename();
    const std::wstring other = program + L".other";
    AddEnvironment(L"product", &other);
    AddEnvironment(L"test", &program);
    Maintenance controller;
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Test);
    EXPECT_EQ(controller.GetServiceName(), L"Z.EP Maintenance Service2 (test)");
    EXPECT_EQ(controller.GetProductRegistryKeyPath(), L"software\\ZEP\\Z.EP Maintenance2\\test");

    // Decided once: later changes of the settings do not reach this controller.
    WinRegistryKey key;
    key.Open(WinRegistryKey::LocalMachine, std::wstring(kSettings) + L"\\test", true);
    key.SetStringValue(L"path", other);
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Test);
    Maintenance fresh;
    EXPECT_EQ(fresh.GetEnvironment(), EnvironmentKind::Product);
}

TEST_F(EnvironmentLookupTest, PathsCompareWithLetterCase) {
    const std::wstring program = GetModuleFilename();
    std::wstring otherCase = program;
    const std::size_t letter = otherCase.find_last_of(L"abcdefghijklmnopqrstuvwxyz");
    ASSERT_NE(letter, std::wstring::npos);
    otherCase[letter] = static_cast<wchar_t>(otherCase[letter] - L'a' + L'A');
    AddEnvironment(L"test", &otherCase);
    Maintenance controller;
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Product);
    EXPECT_EQ(controller.GetServiceName(), L"Z.EP Maintenance Service2");
}

TEST_F(EnvironmentLookupTest, AnUnreadableEntryEndsTheSearchAsProduct) {
    const std::wstring program = GetModuleFilename();
    AddEnvironment(L"alpha", nullptr); // enumerated first, and has no path
    AddEnvironment(L"development", &program);
    Maintenance controller;
    EXPECT_EQ(controller.GetEnvironment(), EnvironmentKind::Product);
    Maintenance fixed;
    fixed.environment = 2;
    fixed.environmentSet = true;
    EXPECT_EQ(fixed.GetServiceName(), L"Z.EP Maintenance Service2 (development)");
}

} // namespace
} // namespace ZEPMaintenance
