// SHA-1 value of a file or of the hexadecimal text a manifest carries.
#pragma once

#include "diag/Logger.h"

#include <string>

namespace ZEPMaintenance {

class Sha256Hash;

class Sha1Hash {
public:
    // The process-wide crypto provider, acquired at start and released at exit.
    static void Initialize();
    static void UnInitialize();

    Sha1Hash();

    void LoadFromString(const std::string& text);
    void CalcFromFile(const std::wstring& path);
    // The same read gives the file's SHA-256 too; on a failure neither value changes.
    void CalcFromFile(const std::wstring& path, Sha256Hash& sha256);
    std::string ToString() const { return hashText; }
    // 0 when equal; otherwise the sign of the first difference, as strcmp.
    int Compare(const char* other) const;

private:
    void Calc(const std::wstring& path, Sha256Hash* sha256);
    // Made where a line is written: a manifest holds thousands of hashes, and a logger per value would
    // cost each of them the logging back end's handle.
    static Logger Log() { return Logger(L"Sha1Hash"); }

    std::string hashText;
};

} // namespace ZEPMaintenance
