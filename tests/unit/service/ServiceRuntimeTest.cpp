// The service runtime: the status reports of ServiceMain and the control handler, in order.
#include "service/ServiceRuntime.h"

#include "diag/Logger.h"
#include "support/CapturedLog.h"

#include <functional>
#include <gtest/gtest.h>

namespace ZEPMaintenance {
namespace {

// The manager's side, recording what it is told.
class RecordingPort final : public ServiceControlPort {
public:
    uint32_t Dispatch(const std::wstring& name, MainEntry main) override {
        dispatchedName = name;
        main(dispatchArguments);
        return 0;
    }
    bool RegisterControlHandler(const std::wstring& name, ControlEntry handler) override {
        registeredName = name;
        control = handler;
        return registers;
    }
    void ReportStatus(const ServiceStatus& status) override { reports.push_back(status); }

    bool registers = true;
    std::vector<std::wstring> dispatchArguments;
    std::wstring dispatchedName;
    std::wstring registeredName;
    ControlEntry control = nullptr;
    std::vector<ServiceStatus> reports;
};

class ScriptedBody final : public ServiceBody {
public:
    bool OnStart(const std::vector<std::wstring>& arguments) override {
        started = arguments;
        return startSucceeds;
    }
    void Run() override {
        ++runs;
        if (duringRun) {
            duringRun();
        }
    }

    bool startSucceeds = true;
    std::function<void()> duringRun;
    std::vector<std::wstring> started;
    int runs = 0;
};

struct Report {
    uint32_t state;
    uint32_t exitCode;
};

ServiceStatus StatusOf(Report report) {
    ServiceStatus status;
    status.currentState = report.state;
    status.win32ExitCode = report.exitCode;
    return status;
}

TEST(ServiceRuntimeTest, ReportsOfOneRun) {
    constexpr uint32_t kStopped = ServiceState::kStopped;
    constexpr uint32_t kRunning = ServiceState::kRunning;
    struct Case {
        const char* what;
        bool registers;
        bool startSucceeds;
        // Sent through the registered handler while the body runs; 0 for none.
        uint32_t controlDuringRun;
        int runs;
        std::vector<Report> reports;
        bool stopLogged;
    };
    const Case cases[] = {
        {"start fails", true, false, 0, 0, {{kStopped, 0xFFFFFFFF}}, false},
        {"runs once then stops", true, true, 0, 1, {{kRunning, 0}, {kStopped, 0}}, false},
        {"stop while running",
         true,
         true,
         ServiceControl::kStop,
         1,
         {{kRunning, 0}, {kStopped, 0}, {kStopped, 0}},
         true},
        {"shutdown while running",
         true,
         true,
         ServiceControl::kShutdown,
         1,
         {{kRunning, 0}, {kStopped, 0}, {kStopped, 0}},
         true},
        {"interrogate reports unchanged",
         true,
         true,
         ServiceControl::kInterrogate,
         1,
         {{kRunning, 0}, {kRunning, 0}, {kStopped, 0}},
         false},
        {"no handler, no report", false, true, 0, 0, {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::CapturedLog log;
        RecordingPort port;
        port.registers = c.registers;
        port.dispatchArguments = {L"Svc", L"-op", L"install"};
        ScriptedBody body;
        body.startSucceeds = c.startSucceeds;
        if (c.controlDuringRun != 0) {
            body.duringRun = [&] { port.control(c.controlDuringRun); };
        }
        ServiceRuntime runtime(L"Svc", body, port);
        EXPECT_EQ(runtime.Dispatch(), 0u);
        EXPECT_EQ(port.dispatchedName, L"Svc");
        EXPECT_EQ(body.runs, c.runs);
        std::vector<ServiceStatus> expected;
        for (const Report& report : c.reports) {
            expected.push_back(StatusOf(report));
        }
        EXPECT_EQ(port.reports, expected);
        EXPECT_EQ(log.Has(LevelInfo, L"MaintenanceService Stop"), c.stopLogged);
        if (c.registers) {
            EXPECT_EQ(port.registeredName, L"Svc");
            EXPECT_EQ(body.started, port.dispatchArguments);
        } else {
            EXPECT_TRUE(body.started.empty());
        }
    }
}

} // namespace
} // namespace ZEPMaintenance
