// The loader's hand-overs (service arguments, GUI pipe names, the elevated worker), the service's choice
// of a worker, and the worker's check that its loader is the user's.
#include "app/Maintenance.h"

#include "base/Platform.h"
#include "diag/IMException.h"
#include "support/CapturedLog.h"
#include "support/ErrorCodeOf.h"
#include "support/MachineRoot.h"
#include "system/Text.h"
#include "system/WinProcess.h"

#include <gtest/gtest.h>
#include <regex>

namespace ZEPMaintenance {
namespace {

using test::CapturedLog;
using test::CodeOf;

const std::wstring kPipePrefix = L"\\\\.\\pipe\\";

std::wstring Pid() {
    return std::to_wstring(platform::CurrentProcessId());
}

CSid OwnSid() {
    WinProcess self;
    self.OpenCurrentProcess();
    return self.GetOwner();
}

ArgumentMap Split(const std::wstring& commandLine) {
    ArgumentMap map;
    SplitCommandLine(commandLine.c_str(), map);
    return map;
}

struct Launch {
    std::wstring file;
    std::wstring parameters;
    std::wstring directory;
    int32_t waitSeconds = 0;
};

TEST(StartIMServiceTest, ServiceArgumentsByOperation) {
    test::ScopedMachineRoot machine;
    const struct {
        Operation op;
        bool freshPipe;
    } cases[] = {
        {Operation::Rollback, true},
        {Operation::Update, true},
        {Operation::MsiUpdate, true},
        {Operation::RefreshZEPPKIServiceRegistryKeys, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.op));
        CapturedLog log;
        Maintenance loader;
        loader.op = c.op;
        loader.arguments = Split(L"-op x -guiPipe planted -lpid 1 -usid S-1-5-18 -lang 2");
        const ArgumentMap sent = loader.PrepareServiceArguments();

        EXPECT_EQ(sent.at(L"-lpid"), Pid());
        EXPECT_EQ(sent.at(L"-usid"), OwnSid().Sid());
        EXPECT_EQ(sent.at(L"-lang"), L"2");
        EXPECT_EQ(sent.at(L"-op"), L"x");
        EXPECT_TRUE(std::regex_match(
            loader.guiPipeName,
            std::wregex(L"\\\\\\\\\\.\\\\pipe\\\\ZEPMaintenance_" + Pid() + L"_[0-9]{1,4}")));
        if (c.freshPipe) {
            EXPECT_EQ(kPipePrefix + sent.at(L"-guiPipe"), loader.guiPipeName);
            ASSERT_NE(loader.guiPipeServer, nullptr);
            EXPECT_EQ(loader.guiPipeServer->GetName(), loader.guiPipeName);
        } else {
            EXPECT_EQ(sent.at(L"-guiPipe"), L"planted");
            EXPECT_EQ(loader.guiPipeServer, nullptr);
        }
        EXPECT_TRUE(log.Has(LevelInfo, L"OpenCurrentProcess: Current process opened."));
        EXPECT_TRUE(log.Has(LevelInfo, L"StartIMService: Arguments for service prepared. (cmdline: " +
                                           BuildCommandLine(sent) + L")"));
        // The loader's own map is not changed.
        EXPECT_EQ(loader.arguments.at(L"-guiPipe"), L"planted");
    }
}

TEST(StartIMServiceTest, TheVectorIsEachKeyThenItsValueInMapOrder) {
    const ArgumentMap map = Split(L"\"Z.EP Maintenance Service2\" -op update -guiPipe P -lpid 7 -setupX");
    EXPECT_EQ(Maintenance::ServiceArgumentVector(map),
              (std::vector<std::wstring>{L"", L"Z.EP Maintenance Service2", L"-guiPipe", L"P", L"-lpid", L"7",
                                         L"-op", L"update", L"-setupX", L""}));
    EXPECT_TRUE(Maintenance::ServiceArgumentVector({}).empty());
}

TEST(StartIMServiceTest, TheEnvironmentsServiceIsStartedWithTheVector) {
    test::ScopedMachineRoot machine;
    Maintenance loader;
    loader.op = Operation::RefreshZEPPKIServiceRegistryKeys;
    loader.environment = 1;
    loader.environmentSet = true;
    loader.arguments = Split(L"-op refreshZEPPKIServiceRegistryKeys -env 1");
    std::wstring name;
    std::vector<std::wstring> vector;
    loader.startService = [&](const std::wstring& n, const std::vector<std::wstring>& v) {
        name = n;
        vector = v;
    };
    loader.StartIMService();
    EXPECT_EQ(name, L"Z.EP Maintenance Service2 (test)");
    // -env, -lpid, -op, -usid: no -guiPipe for a refresh.
    ASSERT_EQ(vector.size(), 8u);
    EXPECT_EQ(vector[2], L"-lpid");
    EXPECT_EQ(vector[3], Pid());

    // No such service on this machine: the open fails.
    Maintenance real;
    real.op = Operation::RefreshZEPPKIServiceRegistryKeys;
    real.arguments = Split(L"-op refreshZEPPKIServiceRegistryKeys -env 2");
    EXPECT_EQ(CodeOf([&] { real.StartIMService(); }), ErrorCode::kServiceOpenFailed);
}

// A name taken by another pipe is drawn again, differently each time, a bounded number of times. The
// loader's warning and the fresh name handed to the service are the attack integration test's.
TEST(GuiPipeNameTest, ATakenNameIsDrawnAgainABoundedNumberOfTimes) {
    test::ScopedMachineRoot machine;
    const std::wstring plantedName = kPipePrefix + L"ZEPMaintenance_" + Pid() + L"_42";
    PipeServer planted;
    planted.Create(plantedName, ReadMode);

    CapturedLog log;
    Maintenance first;
    Maintenance second;
    for (Maintenance* loader : {&first, &second}) {
        loader->guiPipeName = plantedName;
        loader->CreateGuiPipe();
        EXPECT_TRUE(std::regex_match(
            loader->guiPipeName,
            std::wregex(L"\\\\\\\\\\.\\\\pipe\\\\ZEPMaintenance_" + Pid() + L"_[0-9a-f]{16}")));
        ASSERT_NE(loader->guiPipeServer, nullptr);
        EXPECT_EQ(loader->guiPipeServer->GetName(), loader->guiPipeName);
    }
    EXPECT_NE(second.guiPipeName, first.guiPipeName);

    Maintenance unlucky;
    unlucky.guiPipeName = plantedName;
    int draws = 0;
    unlucky.freshGuiPipeSuffix = [&] {
        ++draws;
        return std::wstring(L"42");
    };
    EXPECT_EQ(CodeOf([&] { unlucky.CreateGuiPipe(); }), ErrorCode::kPipeCreateFailed);
    EXPECT_EQ(draws, kGuiPipeNameAttempts - 1);
    EXPECT_EQ(unlucky.guiPipeServer, nullptr);
    EXPECT_TRUE(log.Has(LevelError, L"StartIMService: No free GUI pipe name was found. (guiPipeName: " +
                                        plantedName + L", attempts: " +
                                        std::to_wstring(kGuiPipeNameAttempts) + L")"));
}

TEST(StartWorkerTest, TheProgramItselfElevatedAsWorker) {
    Maintenance controller;
    controller.arguments = Split(L"-op install -lpid 9 -setupZEPPKIServiceRegistry");
    std::vector<Launch> launches;
    controller.startElevated = [&](const std::wstring& f, const std::wstring& p, const std::wstring& d,
                                   int32_t w) {
        launches.push_back({f, p, d, w});
    };
    controller.StartWorker(true);
    controller.StartWorker(false);
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].file, GetModuleFilename());
    EXPECT_EQ(launches[0].directory, GetDirectoryPart(GetModuleFilename()));
    EXPECT_EQ(Split(launches[0].parameters),
              Split(L"-op install -lpid " + Pid() + L" -setupZEPPKIServiceRegistry -mode worker"));
    EXPECT_EQ(Split(launches[1].parameters),
              Split(L"-op install -lpid 9 -setupZEPPKIServiceRegistry -mode worker"));
}

TEST(ServiceWorkerLoopTest, OnlyTheOperationsThroughTheServiceStartAWorker) {
    const struct {
        Operation op;
        bool starts;
    } cases[] = {
        {Operation::None, false},     {Operation::Rollback, true},
        {Operation::Update, true},    {Operation::RefreshZEPPKIServiceRegistryKeys, true},
        {Operation::Install, false},  {Operation::Uninstall, false},
        {Operation::MsiUpdate, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.op));
        Maintenance service;
        service.mode = RunMode::Service;
        service.op = c.op;
        service.arguments = Split(L"\"Z.EP Maintenance Service2\" -op x -lpid 4711 -usid S-1-5-18");
        std::vector<Launch> launches;
        service.startElevated = [&](const std::wstring& f, const std::wstring& p, const std::wstring& d,
                                    int32_t w) {
            launches.push_back({f, p, d, w});
        };
        EXPECT_FALSE(service.ProcessServiceWorkerLoop());
        ASSERT_EQ(launches.size(), c.starts ? 1u : 0u);
        if (c.starts) {
            // The loader's -lpid stays; the service name rides along under the empty name.
            EXPECT_EQ(Split(launches[0].parameters),
                      Split(L"\"Z.EP Maintenance Service2\" -op x -lpid 4711 -usid S-1-5-18 -mode worker"));
            // A refresh's loader is not waiting on a pipe: the service waits for its worker instead.
            EXPECT_EQ(launches[0].waitSeconds,
                      c.op == Operation::RefreshZEPPKIServiceRegistryKeys ? kRefreshWaitSeconds : 0);
        }
    }

    CapturedLog log;
    Maintenance failing;
    failing.op = Operation::Update;
    failing.startElevated = [](const std::wstring&, const std::wstring&, const std::wstring&, int32_t) {
        ThrowIMException(ErrorCode::kShellExecuteFailed);
    };
    EXPECT_FALSE(failing.ProcessServiceWorkerLoop());
    EXPECT_TRUE(log.Contains(L"ProcessServiceWorkerLoop: StartWorker failed. (exCode: 111, exText: "));
}

TEST(LoaderModeTest, InstallAndUninstallStartTheElevatedWorkerOnly) {
    for (const Operation op : {Operation::Install, Operation::Uninstall}) {
        CapturedLog log;
        Maintenance loader;
        loader.op = op;
        int services = 0;
        std::vector<Launch> launches;
        loader.startService = [&](const std::wstring&, const std::vector<std::wstring>&) { ++services; };
        loader.startElevated = [&](const std::wstring& f, const std::wstring& p, const std::wstring& d,
                                   int32_t w) {
            launches.push_back({f, p, d, w});
        };
        EXPECT_EQ(loader.ProcessLoaderMode(), 0);
        EXPECT_EQ(services, 0);
        ASSERT_EQ(launches.size(), 1u);
        EXPECT_EQ(Split(launches[0].parameters).at(L"-mode"), L"worker");

        loader.startElevated = [](const std::wstring&, const std::wstring&, const std::wstring&, int32_t) {
            ThrowIMException(ErrorCode::kShellExecuteFailed);
        };
        EXPECT_EQ(loader.ProcessLoaderMode(), -1);
        EXPECT_TRUE(log.Contains(L"ProcessWorkerMode: StartWorker failed. (exCode: 111, exText: "));
    }
}

TEST(LoaderModeTest, ARefreshWhoseServiceFailsShowsNoDialog) {
    test::ScopedMachineRoot machine;
    CapturedLog log;
    Maintenance loader;
    loader.op = Operation::RefreshZEPPKIServiceRegistryKeys;
    loader.startService = [](const std::wstring&, const std::vector<std::wstring>&) {
        ThrowIMException(ErrorCode::kServiceOpenFailed);
    };
    std::vector<std::wstring> awaited;
    loader.waitForService = [&](const std::wstring& name) { awaited.push_back(name); };
    EXPECT_EQ(loader.ProcessLoaderMode(), -1);
    EXPECT_TRUE(log.Contains(L"ProcessWorkerMode: StartIMService failed. (exCode: 107, exText: "));
    EXPECT_FALSE(log.Contains(L"SetLanguage"));
    EXPECT_TRUE(awaited.empty());

    // Started: the loader stays until the service has stopped, so that its worker finds it.
    loader.startService = [](const std::wstring&, const std::vector<std::wstring>&) {};
    EXPECT_EQ(loader.ProcessLoaderMode(), 0);
    EXPECT_EQ(awaited, std::vector<std::wstring>{loader.GetServiceName()});
}

TEST(LoaderOfUserTest, TheWorkersLoaderMustBeTheUsers) {
    const std::wstring own = OwnSid().Sid();
    const std::wstring other = L"S-1-5-21-1-2-3-1001";
    const struct {
        RunMode mode;
        std::wstring commandLine;
        int32_t code;
        const wchar_t* line;
    } cases[] = {
        {RunMode::Worker, L"-op update -pp P -dp D -lpid " + Pid() + L" -usid " + own, 0, nullptr},
        {RunMode::Worker, L"-op update -pp P -dp D -lpid " + Pid() + L" -usid " + other, 100,
         L"ParseArguments: The loader process does not belong to the user of -usid; nothing is touched."},
        // -lpid is read here also where the folders' parsing does not read it.
        {RunMode::Worker, L"-op refreshZEPPKIServiceRegistryKeys -lpid " + Pid() + L" -usid " + other, 100,
         L"ParseArguments: The loader process does not belong to the user of -usid; nothing is touched."},
        {RunMode::Worker, L"-op refreshZEPPKIServiceRegistryKeys -lpid " + Pid() + L" -usid " + own, 0,
         nullptr},
        {RunMode::Worker, L"-op rollback -pp P -dp D -usid " + own, 100,
         L"ParseArguments: Argument -usid is set without -lpid; nothing is touched."},
        {RunMode::Worker, L"-op refreshZEPPKIServiceRegistryKeys -lpid 0 -usid " + own, 137,
         L"ParseArguments: Argument -lpid value error (exCode: 156"},
        // Without a user the run writes only to an administrator's pipe; nothing to compare.
        {RunMode::Worker, L"-op update -pp P -dp D -lpid " + Pid(), 0, nullptr},
        // The loader and the service do not check: the worker they start does.
        {RunMode::Loader, L"-op update -pp P -dp D -lpid " + Pid() + L" -usid " + other, 0, nullptr},
        {RunMode::Service, L"-op update -pp P -dp D -lpid " + Pid() + L" -usid " + other, 0, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        CapturedLog log;
        Maintenance controller;
        controller.mode = c.mode;
        EXPECT_EQ(CodeOf([&] { controller.ParseArguments(Split(c.commandLine)); }), c.code);
        if (c.line != nullptr) {
            EXPECT_TRUE(log.Contains(c.line)) << log.Dump();
        }
    }
}

} // namespace
} // namespace ZEPMaintenance
