// The one symbol the host looks up in the module.
#include "plugin/plugin.h"

#include "plugin/lifecycle.h"

PLATFORM_EXPORT PluginRecord* winampGetGeneralPurposePlugin() {
    return pluginRecord();
}
