#include "app/usage.h"

#include "dump/console.h"
#include "dump/messages.h"
#include "platform/platform.h"

void ShowUsage() {
    PrintLine(MSG_BANNER);
    PrintLine("");
    PrintLine(MSG_USAGE);
    PrintMessage(MSG_USAGE_ZH);
    PrintLine("");
    PrintLine("");
    Pause();
}
