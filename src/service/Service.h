// One service of the local machine through the service control manager: install, open, start,
// uninstall and its access list.
#pragma once

#include "diag/Logger.h"
#include "system/Permissions.h"
#include "system/platform/ServicePrimitives.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ZEPMaintenance {

namespace ServiceAccess {
inline constexpr uint32_t kManagerAllAccess = 0xF003F;
inline constexpr uint32_t kManagerConnectEnumerateRead = 0x20005;
inline constexpr uint32_t kServiceAllAccess = 0xF01FF;
inline constexpr uint32_t kServiceQueryStartStop = 0x34;
inline constexpr uint32_t kServiceStart = 0x10;
} // namespace ServiceAccess

// Not copied; one per use. The handles are closed with the object.
class Service {
public:
    Service() = default;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // Registers a new service running `"executablePath" arguments` and keeps it open; 103, 104.
    void Install(const std::wstring& name, const std::wstring& executablePath, const std::wstring& arguments);
    // Opens an existing service: with fullAccess all rights, otherwise query status, start and stop; 107.
    void Open(const std::wstring& name, bool fullAccess);
    // Starts the opened service with these service arguments; does not wait for it to run; 105, 106.
    void Start(const std::vector<std::wstring>& arguments);
    // Waits up to timeoutMs for the opened service to stop, looking every 100 ms; true when it did. A
    // status that cannot be read ends the wait with false.
    bool WaitUntilStopped(int32_t timeoutMs);
    // Marks the opened service for deletion and closes it; 105, 108.
    void UnInstall();
    // The opened service's DACL; 105, 127.
    Permissions GetPermissions();
    // Writes the DACL back to the opened service; 105, 128.
    void SetPermissions(const Permissions& permissions);

    bool IsOpened() const { return opened; }
    const std::wstring& GetName() const { return name; }

private:
    void CloseHandles();
    void RequireOpened(const wchar_t* operation) const;

    std::wstring name;
    std::wstring executablePath;
    platform::ServiceHandle manager;
    platform::ServiceHandle service;
    bool opened = false;
    Logger logger{L"Service"};
};

} // namespace ZEPMaintenance
