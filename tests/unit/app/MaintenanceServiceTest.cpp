// MaintenanceService::OnStart: the service arguments checked in service mode, with its lines.
#include "app/MaintenanceService.h"

#include "app/Maintenance.h"
#include "support/CapturedLog.h"
#include "support/MachineRoot.h"

#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

TEST(MaintenanceServiceTest, OnStartParsesTheServiceArguments) {
    struct Case {
        const char* what;
        std::vector<std::wstring> arguments;
        bool started;
        Operation op;
        const wchar_t* errorLine;
    };
    const Case cases[] = {
        // The manager passes the service name first: it lands under the empty name, which no check reads.
        {"install", {L"Z.EP Maintenance Service2", L"-op", L"install"}, true, Operation::Install, nullptr},
        {"uninstall with identity",
         {L"Z.EP Maintenance Service2", L"-op", L"uninstall", L"-usid", L"S-1-22-1-1000", L"-lpid", L"42"},
         true,
         Operation::Uninstall,
         nullptr},
        // Without an operation the line is the service integration test's; any refused option ends it so.
        {"unknown operation",
         {L"Z.EP Maintenance Service2", L"-op", L"explode"},
         false,
         Operation::None,
         L"MaintenanceService::OnStart: Exception occured (exCode: 137, exText: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::ScopedMachineRoot machine;
        test::CapturedLog log;
        Maintenance controller;
        MaintenanceService service(controller);
        EXPECT_EQ(service.OnStart(c.arguments), c.started) << log.Dump();
        EXPECT_TRUE(log.Has(LevelInfo, L"MaintenanceService Start"));
        EXPECT_EQ(controller.mode, RunMode::Service);
        if (c.started) {
            EXPECT_EQ(controller.op, c.op);
            EXPECT_FALSE(log.Contains(L"MaintenanceService::OnStart:")) << log.Dump();
        } else {
            EXPECT_TRUE(log.Contains(c.errorLine)) << log.Dump();
        }
    }
}

} // namespace
} // namespace ZEPMaintenance
