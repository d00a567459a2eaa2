#pragma once
// Captures what Log writes under chosen package bits, for unit tests.

#include "device/core/kLog.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

class LogCapture
{
public:
    explicit LogCapture(uint32_t packages)
    {
        out = tmpfile();
        Log::SetOutput(out);
        Log::DeactivatePackage(0xFFFFFFFF);
        Log::ActivatePackage(packages);
    }
    ~LogCapture()
    {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(out);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// Everything written so far.
    std::string Text()
    {
        fflush(out);
        rewind(out);
        std::string text;
        int c;
        while ((c = fgetc(out)) != EOF)
            text += (char)c;
        return text;
    }
    bool Contains(const std::string& line) { return Text().find(line) != std::string::npos; }
    /// Forgets what was written so far.
    void Clear()
    {
        fflush(out);
        if (ftruncate(fileno(out), 0) == 0)
            rewind(out);
    }

private:
    FILE* out = nullptr;
};
