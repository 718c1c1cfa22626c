// Process-wide logging state shared by Logger, the set-up functions and the file back end.
#pragma once

#include "diag/Logger.h"

#include <memory>
#include <mutex>
#include <string>

namespace ZEPMaintenance::log_state {

struct TableState {
    std::mutex lock;
    LoggerFunctions installed;
    std::wstring baseCategory;
};

struct FileState {
    std::mutex lock;
    int32_t level = 0;
    std::string filePath;
    // Whether this log's loss was reported outside it (once per SetLogFile).
    bool lossReported = false;
};

// Created on first use, never destroyed, so loggers of static objects may log until exit.
TableState& Table();
FileState& FileTarget();
std::unique_ptr<Logger>& MainLoggerSlot();

} // namespace ZEPMaintenance::log_state
