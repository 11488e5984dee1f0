#pragma once

#include "PipelineConfig.h"

#include <QString>

// The outcome of reading a process's mode text: the mode when the text names
// one, otherwise an error text that quotes the text as it was read.
struct ProcessModeResult
{
    bool success = false;
    ProcessMode mode = ProcessMode::Daemon;
    QString errorText;
};

// "sync", "async" or "daemon" in any letter case; nothing is trimmed, so a
// blank that the file keeps by quoting makes the text unknown.
ProcessModeResult parseProcessMode(const QString& text);
