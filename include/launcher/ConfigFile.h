#pragma once

namespace ConfigKeys {

// The two kinds of configuration file: a pipeline file (apps/NAME.ini) and
// the launcher's settings (launcher.ini).
enum class File
{
    Pipeline,
    Settings
};

} // namespace ConfigKeys
