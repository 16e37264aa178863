#include "messaging/MessageSender.h"
#include "settings/RecipientBox.h"

int layeringUpward()
{
    return 0;
}
