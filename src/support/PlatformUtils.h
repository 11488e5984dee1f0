#pragma once

#include <QString>

namespace Solvane {

// The data folders of the platform, after the XDG base directory rules. Both
// read the environment on every call and return the folder text unaltered.
class PlatformUtils
{
public:
    // The machine-wide data folder: the first non-empty entry of
    // $XDG_CONFIG_DIRS, or /etc/xdg.
    static QString windowsProgramDataPath();

    // The per-user folder of a module: $XDG_DATA_HOME/<module>, or
    // $HOME/.local/share/<module> when XDG_DATA_HOME is unset or empty.
    // The flag is accepted for compatibility and selects nothing on this platform.
    static QString getModuleUserDataPath(const char* module, bool flag);
};

} // namespace Solvane
